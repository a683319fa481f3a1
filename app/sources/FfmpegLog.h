#pragma once

namespace kestrel {

// FFmpeg prints its own diagnostics to stderr; our readers and writers report failures through
// their errors instead, so only fatal messages are let through. Safe from any thread.
void quietFfmpegLog();

}  // namespace kestrel
