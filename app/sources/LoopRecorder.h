#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/engine/FramePorts.h"
#include "app/sources/LoopLibrary.h"
#include "app/sources/MovieWriter.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

// Records camera frames into a new loop movie in the loops folder, until the user stops it or the
// recording reaches `maxSeconds`. Frames are encoded on a worker thread behind a small queue: the
// main thread never waits, and a frame that finds the queue full is dropped and counted. Movie
// times are the camera's presentation times, from zero at the first frame.
//
// The movie is written to a hidden journal in half-second fragments and becomes the loop only once
// it is finished, so the library never lists a recording in progress, and a run that ends
// mid-recording loses only the frames of its last fragment and those the encoder still held, about
// a second at 15 frames a second (LoopLibrary::recoverRecordings()).
//
// Threads: everything runs on the main thread (`main`) but the encoding and the finishing. The
// finished file is handed to the stop's completion on the main thread; a recording whose writing
// failed is removed and handed on as none.
class LoopRecorder final : public FrameRecorder, public std::enable_shared_from_this<LoopRecorder> {
  public:
    using Completion = std::function<void(const std::optional<std::filesystem::path>&)>;
    // Frames waiting for the encoder; one more is dropped. At 15 frames a second this absorbs a
    // stall of the encoder of about a quarter of a second, holding at most four camera buffers.
    static constexpr int kQueueDepth = 4;
    // Names tried for one start: the start second and the seconds after it.
    static constexpr int kNameAttempts = 60;

    // Encodes on `encoder`, which must outlive the recorder.
    static std::shared_ptr<LoopRecorder> create(LoopLibrary& library, Executor& main,
                                                Executor& encoder,
                                                MovieWriterSettings settings = {});
    // Encodes on a worker thread of its own.
    static std::shared_ptr<LoopRecorder> create(LoopLibrary& library, Executor& main,
                                                MovieWriterSettings settings = {});
    ~LoopRecorder() override;
    LoopRecorder(const LoopRecorder&) = delete;
    LoopRecorder& operator=(const LoopRecorder&) = delete;

    // The automatic stop threshold; set before each start.
    double maxSeconds = 90.0;

    // Begins a new file; fails with the writer's error (nothing changes then). Does nothing while
    // recording.
    MaybeError start();

    // Queues one camera frame for encoding while recording; stops the recording once the frame is
    // `maxSeconds` or more after the first.
    void append(const PixelBufferRef& frame, MediaTime presentationTime) override;

    // Finishes the file and calls `completion` (if any) with its path on the main thread once it
    // is written, or with none when writing failed. When not recording, calls it at once with
    // none.
    void stop(Completion completion);

    // Called like a stop's completion when the recording stops at `maxSeconds`, so the new loop
    // joins the library as after a manual stop.
    void setAutomaticStopCompletion(Completion completion) {
        automaticCompletion_ = std::move(completion);
    }

    bool isRecording() const override { return recording(); }
    bool recording() const { return isRecording_; }
    // A stopped recording whose file is still being finished.
    bool finishing() const { return session_ != nullptr && !recording(); }
    const std::optional<std::filesystem::path>& url() const { return url_; }
    const std::optional<MediaTime>& startTime() const { return startTime_; }
    // Frames dropped because the queue was full or their time did not advance.
    std::uint64_t droppedFrames() const { return droppedFrames_; }
    std::uint64_t queuedFrames() const { return queuedFrames_; }

    struct Private {};
    LoopRecorder(Private, LoopLibrary& library, Executor& main, Executor* encoder,
                 MovieWriterSettings settings);

  private:
    struct Session;
    void stopSession(std::uint64_t id);
    // Posts stopSession(id) to the main thread; may be called on any thread.
    std::function<void()> sessionStopper(std::uint64_t id);

    LoopLibrary& library_;
    Executor& main_;
    MovieWriterSettings settings_;
    std::unique_ptr<WorkerThread> ownEncoder_;
    Executor& encoder_;

    std::shared_ptr<Session> session_;
    std::optional<MediaTime> startTime_;
    std::optional<std::filesystem::path> url_;
    bool isRecording_ = false;
    Completion automaticCompletion_;
    std::uint64_t nextSessionId_ = 1;
    std::uint64_t droppedFrames_ = 0;
    std::uint64_t queuedFrames_ = 0;
    Log log_{std::string(kAppLogSubsystem), "LoopRecorder"};
};

}  // namespace kestrel
