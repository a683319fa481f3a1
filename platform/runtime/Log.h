#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/runtime/Clock.h"

namespace kestrel {

enum class LogLevel { info, error };

// One argument of a log template: integers, floating point and text.
class LogArg {
  public:
    template <class T>
    requires std::is_integral_v<T> &&
        (!std::is_same_v<T, bool>)LogArg(T value) {  // NOLINT(google-explicit-constructor)
        if constexpr (std::is_signed_v<T>) {
            value_ = static_cast<std::int64_t>(value);
        } else {
            value_ = static_cast<std::uint64_t>(value);
        }
    }
    LogArg(double value) : value_(value) {}                  // NOLINT(google-explicit-constructor)
    LogArg(std::string value) : value_(std::move(value)) {}  // NOLINT
    LogArg(std::string_view value) : value_(std::string(value)) {}  // NOLINT
    LogArg(const char* value) : value_(std::string(value)) {}       // NOLINT

    const std::variant<std::int64_t, std::uint64_t, double, std::string>& value() const {
        return value_;
    }

  private:
    std::variant<std::int64_t, std::uint64_t, double, std::string> value_;
};

// Formats a message template: "%{public}@" (also "%@") prints the argument as text, "%d", "%ld",
// "%lld", "%u", "%llu" and "%x" print integers, "%f" and "%.Nf" floating point, "%s" text, "%%"
// a percent sign. A missing or mismatched argument prints as "<?>" rather than failing.
std::string formatLogMessage(std::string_view format, std::span<const LogArg> args);

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Called from any thread.
    virtual void write(const LogRecord& record) = 0;
};

// A logger for one subsystem and category ("dev.corvid.kestrel" / "Engine"). Records go to the
// process-wide sink; logging never fails and never throws to the caller.
class Log {
  public:
    Log(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    template <class... Args>
    void info(std::string_view format, const Args&... args) const {
        write(LogLevel::info, format, args...);
    }
    template <class... Args>
    void error(std::string_view format, const Args&... args) const {
        write(LogLevel::error, format, args...);
    }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    // The sink every logger writes to; the default is chosen by defaultLogSink().
    static void setSink(std::shared_ptr<LogSink> sink);
    static std::shared_ptr<LogSink> sink();

  private:
    template <class... Args>
    void write(LogLevel level, std::string_view format, const Args&... args) const {
        const LogArg list[] = {LogArg(args)..., LogArg(0)};  // trailing entry keeps it non-empty
        emit(level, formatLogMessage(format, std::span(list, sizeof...(Args))));
    }
    void emit(LogLevel level, std::string message) const;

    std::string subsystem_;
    std::string category_;
};

// The application's subsystem and the camera daemon's.
inline constexpr std::string_view kAppLogSubsystem = "dev.corvid.kestrel";
inline constexpr std::string_view kCameraLogSubsystem = "dev.corvid.kestrel.camera";

class StderrLogSink final : public LogSink {
  public:
    void write(const LogRecord& record) override;

  private:
    std::mutex mutex_;
};

// Native journal entries with the subsystem and category as fields (KESTREL_SUBSYSTEM,
// KESTREL_CATEGORY), so `journalctl KESTREL_CATEGORY=Engine` selects one component.
class JournalLogSink final : public LogSink {
  public:
    void write(const LogRecord& record) override;
};

// Keeps every record, for tests.
class CaptureLogSink final : public LogSink {
  public:
    void write(const LogRecord& record) override;
    std::vector<LogRecord> records() const;
    // Messages of one category, in order.
    std::vector<std::string> messages(std::string_view category = {}) const;
    // How many messages contain `text`.
    std::size_t count(std::string_view text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// The sink for this process: the journal when it runs under systemd (JOURNAL_STREAM is set) and
// the journal answers, stderr otherwise. KESTREL_LOG=stderr or KESTREL_LOG=journal forces one.
std::shared_ptr<LogSink> defaultLogSink();

// Lets through at most one event per window, for lines that would otherwise repeat at frame rate.
class LogThrottle {
  public:
    LogThrottle(const HostClock& clock, std::uint64_t windowNanos)
        : clock_(clock), windowNanos_(windowNanos) {}
    bool allow();

  private:
    const HostClock& clock_;
    std::uint64_t windowNanos_;
    std::uint64_t last_ = 0;
    bool any_ = false;
};

}  // namespace kestrel
