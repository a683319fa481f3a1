#pragma once

#include <memory>

#include "platform/runtime/Log.h"

namespace kestrel::testing {

// Captures everything logged while it lives and puts the previous sink back when it goes, so an
// early ASSERT cannot leave a test's sink installed for the next test.
class LogCapture {
  public:
    LogCapture() : previous_(Log::sink()) { Log::setSink(sink_); }
    ~LogCapture() { Log::setSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CaptureLogSink& operator*() const { return *sink_; }
    CaptureLogSink* operator->() const { return sink_.get(); }
    const std::shared_ptr<CaptureLogSink>& sink() const { return sink_; }

  private:
    std::shared_ptr<LogSink> previous_;
    std::shared_ptr<CaptureLogSink> sink_ = std::make_shared<CaptureLogSink>();
};

}  // namespace kestrel::testing
