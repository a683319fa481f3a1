#include "app/sources/FfmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <mutex>

namespace kestrel {

void quietFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

}  // namespace kestrel
