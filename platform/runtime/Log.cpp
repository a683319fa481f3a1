#include "platform/runtime/Log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace kestrel {

namespace {

std::string argumentAsText(const LogArg& arg) {
    return std::visit(
        [](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) {
                return v;
            } else {
                return std::to_string(v);
            }
        },
        arg.value());
}

std::string formatNumber(const LogArg& arg, char conversion, int precision) {
    char buffer[64];
    const auto& v = arg.value();
    if (conversion == 'f') {
        double d = 0;
        if (const auto* p = std::get_if<double>(&v)) {
            d = *p;
        } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
            d = static_cast<double>(*i);
        } else if (const auto* u = std::get_if<std::uint64_t>(&v)) {
            d = static_cast<double>(*u);
        } else {
            return "<?>";
        }
        std::snprintf(buffer, sizeof buffer, "%.*f", precision < 0 ? 6 : precision, d);
        return buffer;
    }
    std::int64_t si = 0;
    std::uint64_t ui = 0;
    bool isSigned = true;
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        si = *i;
        ui = static_cast<std::uint64_t>(*i);
    } else if (const auto* u = std::get_if<std::uint64_t>(&v)) {
        ui = *u;
        si = static_cast<std::int64_t>(*u);
        isSigned = false;
    } else if (const auto* d = std::get_if<double>(&v)) {
        si = static_cast<std::int64_t>(*d);
        ui = static_cast<std::uint64_t>(si);
    } else {
        return "<?>";
    }
    if (conversion == 'x') {
        std::snprintf(buffer, sizeof buffer, "%" PRIx64, ui);
    } else if (conversion == 'u' || !isSigned) {
        std::snprintf(buffer, sizeof buffer, "%" PRIu64, ui);
    } else {
        std::snprintf(buffer, sizeof buffer, "%" PRId64, si);
    }
    return buffer;
}

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<LogSink>& sinkSlot() {
    static std::shared_ptr<LogSink> sink;
    return sink;
}

}  // namespace

std::string formatLogMessage(std::string_view format, std::span<const LogArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out.push_back(c);
            continue;
        }
        std::size_t j = i + 1;
        if (format[j] == '%') {
            out.push_back('%');
            i = j;
            continue;
        }
        if (format[j] == '{') {  // privacy annotation: every argument is printed as is
            const auto close = format.find('}', j);
            if (close == std::string_view::npos) {
                out.append(format.substr(i));
                break;
            }
            j = close + 1;
        }
        int precision = -1;
        if (j < format.size() && format[j] == '.') {
            precision = 0;
            ++j;
            while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
                precision = precision * 10 + (format[j] - '0');
                ++j;
            }
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'z')) {
            ++j;
        }
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        const char conversion = format[j];
        const LogArg* arg = next < args.size() ? &args[next] : nullptr;
        switch (conversion) {
            case '@':
            case 's':
                out.append(arg != nullptr ? argumentAsText(*arg) : "<?>");
                ++next;
                break;
            case 'd':
            case 'i':
            case 'u':
            case 'x':
                out.append(arg != nullptr ? formatNumber(*arg, conversion, precision) : "<?>");
                ++next;
                break;
            case 'f':
                out.append(arg != nullptr ? formatNumber(*arg, 'f', precision) : "<?>");
                ++next;
                break;
            default:  // not a conversion we know: keep the text as written
                out.append(format.substr(i, j - i + 1));
                break;
        }
        i = j;
    }
    return out;
}

void Log::setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex());
    sinkSlot() = std::move(sink);
}

std::shared_ptr<LogSink> Log::sink() {
    std::lock_guard lock(sinkMutex());
    if (!sinkSlot()) {
        sinkSlot() = defaultLogSink();
    }
    return sinkSlot();
}

void Log::emit(LogLevel level, std::string message) const {
    sink()->write(LogRecord{subsystem_, category_, level, std::move(message)});
}

void StderrLogSink::write(const LogRecord& record) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "%s.%03ld %s [%s:%s] %s\n", stamp, ts.tv_nsec / 1'000'000,
                 record.level == LogLevel::error ? "E" : "I", record.subsystem.c_str(),
                 record.category.c_str(), record.message.c_str());
}

void JournalLogSink::write(const LogRecord& record) {
    sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d",
                    record.level == LogLevel::error ? LOG_ERR : LOG_INFO, "SYSLOG_IDENTIFIER=%s",
                    record.subsystem.c_str(), "KESTREL_SUBSYSTEM=%s", record.subsystem.c_str(),
                    "KESTREL_CATEGORY=%s", record.category.c_str(), nullptr);
}

void CaptureLogSink::write(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> CaptureLogSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> CaptureLogSink::messages(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& record : records_) {
        if (category.empty() || record.category == category) {
            out.push_back(record.message);
        }
    }
    return out;
}

std::size_t CaptureLogSink::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& record : records_) {
        if (record.message.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

std::shared_ptr<LogSink> defaultLogSink() {
    const char* forced = std::getenv("KESTREL_LOG");
    const std::string choice = forced != nullptr ? forced : "";
    if (choice == "stderr") {
        return std::make_shared<StderrLogSink>();
    }
    const bool underSystemd = std::getenv("JOURNAL_STREAM") != nullptr;
    const bool journalUp = ::access("/run/systemd/journal/socket", W_OK) == 0;
    if ((choice == "journal" || underSystemd) && journalUp) {
        return std::make_shared<JournalLogSink>();
    }
    return std::make_shared<StderrLogSink>();
}

bool LogThrottle::allow() {
    const std::uint64_t now = clock_.nowNanos();
    if (any_ && now - last_ < windowNanos_) {
        return false;
    }
    any_ = true;
    last_ = now;
    return true;
}

}  // namespace kestrel
