#include "app/ui/RecordButtonState.h"

#include <chrono>
#include <utility>

#include "app/sources/LoopRecorder.h"
#include "app/startup/AppDelegate.h"
#include "app/ui/PopoverModel.h"

namespace kestrel::ui {

DelegateLoopRecording::DelegateLoopRecording(std::weak_ptr<LoopRecorder> recorder,
                                             std::weak_ptr<AppDelegate> delegate)
    : recorder_(std::move(recorder)), delegate_(std::move(delegate)) {}

MaybeError DelegateLoopRecording::start() {
    auto recorder = recorder_.lock();
    if (!recorder) {
        return Error{"LoopRecorder", 1, "this build records no loops"};
    }
    recorder->maxSeconds = kLoopSeconds;
    return recorder->start();
}

void DelegateLoopRecording::stop(Done done) {
    if (auto delegate = delegate_.lock()) {
        delegate->stopRecording(std::move(done));
    } else {
        done(std::nullopt);
    }
}

bool DelegateLoopRecording::isRecording() const {
    auto recorder = recorder_.lock();
    return recorder && recorder->recording();
}

RecordButtonState::RecordButtonState(std::shared_ptr<LoopRecording> recorder, Executor& main,
                                     const HostClock& clock)
    : recorder_(std::move(recorder)), main_(main), clock_(clock) {}

void RecordButtonState::press() {
    if (!recording_) {
        if (auto error = recorder_->start()) {
            log_.error("recorder start failed: %{public}@", error->description);
        }
        startedAt_ = clock_.nowNanos();
        sawRecorderRun_ = recorder_->isRecording();
        // Once a second while in "stop": the seconds move, and a recording the recorder ended at
        // its length is noticed.
        ticker_ = main_.startTimer(
            std::chrono::seconds(1), [this] { tick(); }, std::chrono::milliseconds(100));
    } else {
        recorder_->stop([](const std::optional<std::filesystem::path>&) {});
        ticker_.reset();
        sawRecorderRun_ = false;
    }
    recording_ = !recording_;
    changed.emit();
}

void RecordButtonState::tick() {
    const bool running = recorder_->isRecording();
    if (sawRecorderRun_ && !running) {
        // Stopped by itself at its length; the delegate has adopted the file.
        recording_ = false;
        sawRecorderRun_ = false;
        ticker_.reset();
    }
    sawRecorderRun_ = sawRecorderRun_ || running;
    changed.emit();
}

std::optional<int> RecordButtonState::recordedSeconds() const {
    if (!recording_ || !sawRecorderRun_ || !recorder_->isRecording()) {
        return std::nullopt;
    }
    return static_cast<int>((clock_.nowNanos() - startedAt_) / 1'000'000'000ULL);
}

}  // namespace kestrel::ui
