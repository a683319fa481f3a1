#include "extension/PipeWireOutput.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "extension/FrameConvert.h"
#include "extension/PipeWirePods.h"
#include "shared/CameraIPC.h"

namespace kestrel::camera {

namespace {

constexpr std::uint32_t kWidth = static_cast<std::uint32_t>(CameraIPC::frameWidth);
constexpr std::uint32_t kHeight = static_cast<std::uint32_t>(CameraIPC::frameHeight);

enum NegotiatedFormat : int { none = 0, yuy2 = 1, bgra = 2 };

}  // namespace

struct PipeWireOutput::Impl {
    PipeWireOutput* owner = nullptr;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};
    pw_stream_events events{};
    // Under the thread-loop lock.
    int format = none;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint64_t sequence = 0;
    // The content id each buffer's pixels hold: a buffer dequeued for the frame it already
    // holds (the repeated black frame) goes back unwritten. Consumers only read our buffers.
    std::unordered_map<const pw_buffer*, std::uint64_t> held;

    ~Impl() {
        if (loop != nullptr) {
            pw_thread_loop_stop(loop);
        }
        if (stream != nullptr) {
            pw_stream_destroy(stream);
        }
        if (core != nullptr) {
            pw_core_disconnect(core);
        }
        if (context != nullptr) {
            pw_context_destroy(context);
        }
        if (loop != nullptr) {
            pw_thread_loop_destroy(loop);
        }
    }

    static void onStateChanged(void* data, pw_stream_state /*old*/, pw_stream_state state,
                               const char* error) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_ERROR) {
            providerLog().error("PipeWire stream error: %{public}@", error ? error : "?");
        }
        self->owner->streamingChanged(state == PW_STREAM_STATE_STREAMING);
    }

    static void onCoreError(void* data, std::uint32_t id, int res, const char* message) {
        auto* self = static_cast<Impl*>(data);
        if (id != PW_ID_CORE) {
            return;
        }
        providerLog().error("PipeWire error: %{public}@ (%d)", message ? message : "?", res);
        if (res == -EPIPE) {
            // The server went away: a consumer that was linked is gone with it, and the main
            // thread's retry makes the connection again.
            self->owner->lost_.store(true);
            self->owner->streamingChanged(false);
        }
    }

    static void onRemoveBuffer(void* data, pw_buffer* buffer) {
        static_cast<Impl*>(data)->held.erase(buffer);
    }

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (param == nullptr || id != SPA_PARAM_Format) {
            return;
        }
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        const int format = kestrel_pw_parse_format(param, &width, &height);
        if (format == none || width == 0 || height == 0) {
            self->format = none;
            return;
        }
        self->held.clear();
        self->format = format;
        self->width = width;
        self->height = height;
        self->stride = width * (format == yuy2 ? 2 : 4);
        std::uint8_t buffer[1024];
        const spa_pod* params[2];
        const std::uint32_t count = kestrel_pw_buffer_params(buffer, sizeof buffer, params,
                                                             self->stride, self->stride * height);
        pw_stream_update_params(self->stream, params, count);
        providerLog().info("PipeWire format: %{public}@ %ux%u", format == yuy2 ? "YUY2" : "BGRA",
                           width, height);
    }
};

}  // namespace kestrel::camera

extern "C" void kestrel_pw_on_core_error(void* data, std::uint32_t id, int res,
                                         const char* message) {
    kestrel::camera::PipeWireOutput::Impl::onCoreError(data, id, res, message);
}

namespace kestrel::camera {

PipeWireOutput::PipeWireOutput(Executor& main, SourceStreamSource& sourceStream,
                               std::shared_ptr<OutputConverter> converter)
    : main_(main), client_(sourceStream), converter_(std::move(converter)) {}

PipeWireOutput::~PipeWireOutput() {
    retryTimer_.reset();
    std::lock_guard guard(implMutex_);
    impl_.reset();
}

bool PipeWireOutput::start() {
    const bool connected = connect();
    std::weak_ptr<bool> alive = alive_;
    retryTimer_ = main_.startTimer(kRetryInterval, [this, alive] {
        if (alive.lock()) {
            retry();
        }
    });
    return connected;
}

void PipeWireOutput::retry() {
    if (impl_ && !lost_.load()) {
        return;
    }
    if (impl_) {
        providerLog().info("PipeWire connection lost — connecting again");
        std::lock_guard guard(implMutex_);
        impl_.reset();
    }
    lost_.store(false);
    connect();
}

bool PipeWireOutput::connect() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    auto impl = std::make_unique<Impl>();
    impl->owner = this;
    impl->loop = pw_thread_loop_new("kestrel-pw", nullptr);
    if (impl->loop == nullptr) {
        providerLog().error("PipeWire: cannot make a thread loop");
        return false;
    }
    impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop), nullptr, 0);
    if (impl->context == nullptr || pw_thread_loop_start(impl->loop) != 0) {
        providerLog().error("PipeWire: cannot start its loop");
        return false;
    }
    pw_thread_loop_lock(impl->loop);
    impl->core = pw_context_connect(impl->context, nullptr, 0);
    if (impl->core == nullptr) {
        const int error = errno;
        pw_thread_loop_unlock(impl->loop);
        if (!reportedUnreachable_) {
            reportedUnreachable_ = true;
            providerLog().info(
                "PipeWire not reachable (%{public}@) — running without the PipeWire node",
                std::string(std::strerror(error)));
        }
        return false;
    }
    kestrel_pw_listen_core(impl->core, &impl->coreListener, impl.get());
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
        "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, "kestrel-camera",
        PW_KEY_NODE_DESCRIPTION, "Kestrel", PW_KEY_NODE_NICK, "Kestrel", nullptr);
    impl->stream = pw_stream_new(impl->core, "Kestrel", props);
    if (impl->stream == nullptr) {
        pw_thread_loop_unlock(impl->loop);
        providerLog().error("PipeWire: cannot make the stream");
        return false;
    }
    impl->events.version = PW_VERSION_STREAM_EVENTS;
    impl->events.state_changed = &Impl::onStateChanged;
    impl->events.param_changed = &Impl::onParamChanged;
    impl->events.remove_buffer = &Impl::onRemoveBuffer;
    pw_stream_add_listener(impl->stream, &impl->streamListener, &impl->events, impl.get());
    std::uint8_t buffer[1024];
    const spa_pod* params[2];
    const std::uint32_t count = kestrel_pw_enum_formats(buffer, sizeof buffer, params, kWidth,
                                                        kHeight, CameraIPC::frameRate);
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    const int connected =
        pw_stream_connect(impl->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, count);
    pw_thread_loop_unlock(impl->loop);
    if (connected < 0) {
        providerLog().error("PipeWire: cannot connect the stream (%d)", connected);
        return false;
    }
    {
        std::lock_guard guard(implMutex_);
        impl_ = std::move(impl);
    }
    reportedUnreachable_ = false;
    providerLog().info("PipeWire node \"Kestrel\" published");
    return true;
}

void PipeWireOutput::streamingChanged(bool streaming) {
    streaming_.store(streaming);
    std::weak_ptr<bool> alive = alive_;
    main_.post([this, alive, streaming] {
        if (!alive.lock()) {
            return;
        }
        // A consumer linking is a source client starting; unlinking is it stopping.
        client_.setReading(streaming);
    });
}

void PipeWireOutput::send(const SampleBuffer& frame, std::uint64_t hostTimeNanos) {
    if (!streaming_.load() || frame.pixels == nullptr) {
        return;
    }
    std::lock_guard guard(implMutex_);
    if (!impl_) {
        return;
    }
    pw_thread_loop_lock(impl_->loop);
    Impl& impl = *impl_;
    pw_buffer* b = impl.format != none ? pw_stream_dequeue_buffer(impl.stream) : nullptr;
    if (b == nullptr) {
        pw_thread_loop_unlock(impl.loop);
        return;  // no free buffer: drop, never wait
    }
    spa_data& d = b->buffer->datas[0];
    const std::uint32_t bytes = impl.stride * impl.height;
    bool filled = false;
    std::uint64_t& held = impl.held[b];
    if (frame.contentId != 0 && held == frame.contentId) {
        filled = true;
    } else if (d.data != nullptr && d.maxsize >= bytes) {
        held = 0;
        const MutableImage out{static_cast<std::uint8_t*>(d.data), impl.width, impl.height,
                               impl.stride};
        filled = converter_->convert(
            imageOf(frame),
            impl.format == yuy2 ? OutputConverter::Format::yuy2 : OutputConverter::Format::bgra,
            out, frame.contentId);
        held = filled ? frame.contentId : 0;
    }
    d.chunk->offset = 0;
    d.chunk->size = filled ? bytes : 0;
    d.chunk->stride = static_cast<std::int32_t>(impl.stride);
    kestrel_pw_stamp_header(b->buffer, static_cast<std::int64_t>(hostTimeNanos), impl.sequence++);
    pw_stream_queue_buffer(impl.stream, b);
    pw_thread_loop_unlock(impl.loop);
}

}  // namespace kestrel::camera
