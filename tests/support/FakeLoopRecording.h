#pragma once

#include <filesystem>
#include <optional>

#include "app/ui/RecordButtonState.h"

namespace kestrel::testing {

// A recorder behind the record button: starts (or fails to), stops at once and hands on a loop
// when one was running.
class FakeLoopRecording final : public ui::LoopRecording {
  public:
    MaybeError start() override {
        ++starts;
        if (failStart) {
            return Error{"LoopRecorder", 3, "disk full"};
        }
        running = true;
        return std::nullopt;
    }
    void stop(Done done) override {
        ++stops;
        const bool was = running;
        running = false;
        done(was ? std::optional<std::filesystem::path>("/l/new.mov") : std::nullopt);
    }
    bool isRecording() const override { return running; }
    bool failStart = false;
    bool running = false;
    int starts = 0;
    int stops = 0;
};

}  // namespace kestrel::testing
