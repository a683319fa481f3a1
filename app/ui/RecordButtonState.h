#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/runtime/Clock.h"
#include "platform/runtime/Error.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/Observable.h"

namespace kestrel {
class AppDelegate;
class LoopRecorder;
}  // namespace kestrel

namespace kestrel::ui {

// The loop recorder as the record button uses it.
class LoopRecording {
  public:
    using Done = std::function<void(const std::optional<std::filesystem::path>&)>;
    virtual ~LoopRecording() = default;
    // Starts a loop of at most 60 s.
    virtual MaybeError start() = 0;
    // Stops; the saved loop joins the loops (and becomes active when none is) before `done` runs.
    virtual void stop(Done done) = 0;
    virtual bool isRecording() const = 0;
};

// The application's recorder; the stop goes through the delegate, which adopts the new loop.
class DelegateLoopRecording final : public LoopRecording {
  public:
    DelegateLoopRecording(std::weak_ptr<LoopRecorder> recorder,
                          std::weak_ptr<AppDelegate> delegate);
    MaybeError start() override;
    void stop(Done done) override;
    bool isRecording() const override;

  private:
    std::weak_ptr<LoopRecorder> recorder_;
    std::weak_ptr<AppDelegate> delegate_;
};

// The record button's "stop" flag, shared by the popover and the tray menu. It follows the presses
// (a failed start still shows "stop"), except that a recording the recorder ended by itself at its
// length returns the button to "start". While the recorder runs, it counts the seconds. Main
// thread.
class RecordButtonState {
  public:
    RecordButtonState(std::shared_ptr<LoopRecording> recorder, Executor& main,
                      const HostClock& clock);
    RecordButtonState(const RecordButtonState&) = delete;
    RecordButtonState& operator=(const RecordButtonState&) = delete;

    void press();
    bool recording() const { return recording_; }
    // Whole seconds since the recorder started; none while it does not run.
    std::optional<int> recordedSeconds() const;

    // Fires after every change of the flag or the seconds.
    Signal<> changed;

  private:
    void tick();

    std::shared_ptr<LoopRecording> recorder_;
    Executor& main_;
    const HostClock& clock_;
    bool recording_ = false;
    bool sawRecorderRun_ = false;
    std::uint64_t startedAt_ = 0;
    Handle ticker_;
    Log log_{std::string(kAppLogSubsystem), "Engine"};
};

}  // namespace kestrel::ui
