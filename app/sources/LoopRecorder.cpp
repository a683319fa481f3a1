#include "app/sources/LoopRecorder.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <variant>

#include "platform/runtime/Log.h"

namespace kestrel {

namespace {

// `time` in movie units (1/90000 s).
std::int64_t movieTicks(MediaTime time) {
    return av_rescale(time.value, MovieWriter::kTimescale, time.timescale);
}

double secondsBetween(MediaTime from, MediaTime to) {
    if (from.timescale == to.timescale) {
        return static_cast<double>(to.value - from.value) / static_cast<double>(to.timescale);
    }
    return static_cast<double>(static_cast<long double>(to.value) / to.timescale -
                               static_cast<long double>(from.value) / from.timescale);
}

// Encoding runs only on time no thread of normal priority wants: the threads x264 makes from this
// one inherit SCHED_IDLE. A lowered nice value was not enough, because the encoder thread, woken
// by each appended frame after a sleep, preempted the main thread for 1-2 ms on average and up to
// 9. The price is paid on a machine whose two cores are both kept busy: the encoder then gets next
// to nothing and drops frames, as it does at nice 10 as well. Where the policy cannot be set, nice
// 10 is the fallback.
constexpr int kEncoderNice = 10;

void lowerThisThreadsPriority() {
    const sched_param none{};
    if (::sched_setscheduler(::gettid(), SCHED_IDLE, &none) == 0) {
        return;
    }
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kEncoderNice) != 0) {
        const int error = errno;
        Log(std::string(kAppLogSubsystem), "LoopRecorder")
            .error("cannot lower the encoder's priority: %{public}@",
                   std::system_category().message(error));
    }
}

}  // namespace

// One recording. The writer and the failure belong to the encoder thread once the recording has
// started; `queued` is shared with the main thread.
struct LoopRecorder::Session {
    std::uint64_t id = 0;
    std::filesystem::path url;      // the loop it becomes
    std::filesystem::path journal;  // what is written until then
    std::unique_ptr<MovieWriter> writer;
    MaybeError failure;
    std::function<void()> stopSoon;  // ends this recording on the main thread; any thread
    std::atomic<int> queued{0};
    std::int64_t lastTicks = -1;  // main thread
    bool stopScheduled = false;   // main thread
};

std::shared_ptr<LoopRecorder> LoopRecorder::create(LoopLibrary& library, Executor& main,
                                                   Executor& encoder,
                                                   MovieWriterSettings settings) {
    return std::make_shared<LoopRecorder>(Private{}, library, main, &encoder, std::move(settings));
}

std::shared_ptr<LoopRecorder> LoopRecorder::create(LoopLibrary& library, Executor& main,
                                                   MovieWriterSettings settings) {
    return std::make_shared<LoopRecorder>(Private{}, library, main, nullptr, std::move(settings));
}

LoopRecorder::LoopRecorder(Private, LoopLibrary& library, Executor& main, Executor* encoder,
                           MovieWriterSettings settings)
    : library_(library),
      main_(main),
      settings_(std::move(settings)),
      ownEncoder_(encoder == nullptr ? std::make_unique<WorkerThread>("dev.corvid.kestrel.recorder")
                                     : nullptr),
      encoder_(encoder != nullptr ? *encoder : *ownEncoder_) {
    if (ownEncoder_) {
        ownEncoder_->post(&lowerThisThreadsPriority);
    }
}

LoopRecorder::~LoopRecorder() = default;

MaybeError LoopRecorder::start() {
    if (recording()) {
        return std::nullopt;
    }
    // Written in fragments, so that a run that ends mid-recording leaves a journal the next
    // launch can still make a loop of.
    MovieWriterSettings journalSettings = settings_;
    journalSettings.fragmentSeconds = LoopLibrary::kJournalFragmentSeconds;
    MovieWriter::CreateResult created = Error{};
    std::filesystem::path url;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        url = library_.recordingPath(attempt);
        std::error_code ignored;
        if (std::filesystem::exists(url, ignored)) {
            created = Error{std::string(MovieWriter::kErrorDomain), EEXIST, url.string()};
            continue;
        }
        created = MovieWriter::createFile(LoopLibrary::journalPath(url), journalSettings);
        const auto* error = std::get_if<Error>(&created);
        if (error == nullptr || error->code != EEXIST) {
            break;  // written, or a failure a later name will not mend
        }
    }
    if (auto* error = std::get_if<Error>(&created)) {
        return *error;
    }
    auto session = std::make_shared<Session>();
    session->id = nextSessionId_++;
    session->writer = std::move(std::get<std::unique_ptr<MovieWriter>>(created));
    session->journal = session->writer->url();
    session->url = url;
    session->stopSoon = sessionStopper(session->id);
    session_ = std::move(session);
    // An encoder that cannot start or write ends the recording at once, so the user sees the
    // failure then rather than at a stop a minute later.
    encoder_.post([session = session_] {
        session->failure = session->writer->startEncoder();
        if (session->failure) {
            session->stopSoon();
        }
    });
    url_ = session_->url;
    startTime_.reset();
    isRecording_ = true;
    return std::nullopt;
}

void LoopRecorder::append(const PixelBufferRef& frame, MediaTime presentationTime) {
    if (!recording() || !session_ || !frame || !presentationTime.valid()) {
        return;
    }
    Session& session = *session_;
    if (!startTime_) {
        startTime_ = presentationTime;
    }
    const std::int64_t ticks = movieTicks(presentationTime) - movieTicks(*startTime_);
    if (ticks <= session.lastTicks || session.queued.load() >= kQueueDepth) {
        ++droppedFrames_;  // a repeated or earlier time, or the encoder is behind
    } else {
        session.lastTicks = ticks;
        ++session.queued;
        ++queuedFrames_;
        encoder_.post([session = session_, frame, ticks] {
            if (!session->failure) {
                session->failure = session->writer->append(*frame, ticks);
                if (session->failure) {
                    session->stopSoon();
                }
            }
            --session->queued;
        });
    }
    if (secondsBetween(*startTime_, presentationTime) >= maxSeconds && !session.stopScheduled) {
        session.stopScheduled = true;
        session.stopSoon();
    }
}

std::function<void()> LoopRecorder::sessionStopper(std::uint64_t id) {
    return [weak = weak_from_this(), &main = main_, id] {
        main.post([weak, id] {
            if (auto self = weak.lock()) {
                self->stopSession(id);
            }
        });
    };
}

void LoopRecorder::stopSession(std::uint64_t id) {
    // Only the recording that reached its length: a newer one started since is left alone.
    if (recording() && session_ && session_->id == id) {
        stop(automaticCompletion_);
    }
}

void LoopRecorder::stop(Completion completion) {
    if (!recording() || !session_) {
        if (completion) {
            completion(std::nullopt);
        }
        return;
    }
    isRecording_ = false;
    std::weak_ptr<LoopRecorder> weak = weak_from_this();
    Executor& main = main_;
    Log log = log_;
    encoder_.post([session = session_, weak, &main, log, completion = std::move(completion)] {
        MaybeError failure = session->failure;
        if (!failure) {
            failure = session->writer->finish();
        }
        session->writer.reset();
        if (!failure) {
            // The journal becomes the loop: a normal movie with one index.
            const auto finished = LoopLibrary::finishJournal(session->journal, session->url);
            if (const auto* error = std::get_if<Error>(&finished)) {
                failure = *error;
            }
        }
        if (failure) {
            std::error_code ignored;
            std::filesystem::remove(session->journal, ignored);
        }
        main.post([session, weak, log, failure, completion] {
            if (auto self = weak.lock(); self && self->session_ == session) {
                self->session_.reset();
                self->startTime_.reset();
            }
            if (failure) {
                log.error("recording failed: %{public}@", failure->description);
            }
            if (completion) {
                completion(failure ? std::nullopt : std::optional(session->url));
            }
        });
    });
}

}  // namespace kestrel
