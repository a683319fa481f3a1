#include "extension/PipeWirePods.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

uint32_t kestrel_pw_enum_formats(uint8_t* buffer, uint32_t size, const struct spa_pod** params,
                                 uint32_t width, uint32_t height, uint32_t rate) {
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, size);
    const uint32_t formats[2] = {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_BGRA};
    for (uint32_t i = 0; i < 2; ++i) {
        params[i] = spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(formats[i]),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&SPA_RECTANGLE(width, height)),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(rate, 1)));
        if (params[i] == NULL) {
            return 0;
        }
    }
    return 2;
}

uint32_t kestrel_pw_buffer_params(uint8_t* buffer, uint32_t size, const struct spa_pod** params,
                                  uint32_t stride, uint32_t frameBytes) {
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, size);
    params[0] = spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int((int32_t)frameBytes), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int((int32_t)stride), SPA_PARAM_BUFFERS_align, SPA_POD_Int(16));
    params[1] = spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int((int32_t)sizeof(struct spa_meta_header)));
    return params[0] != NULL && params[1] != NULL ? 2 : 0;
}

int kestrel_pw_parse_format(const struct spa_pod* param, uint32_t* width, uint32_t* height) {
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    if (param == NULL || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return 0;
    }
    struct spa_video_info_raw info;
    if (spa_format_video_raw_parse(param, &info) < 0) {
        return 0;
    }
    *width = info.size.width;
    *height = info.size.height;
    if (info.format == SPA_VIDEO_FORMAT_YUY2) {
        return 1;
    }
    if (info.format == SPA_VIDEO_FORMAT_BGRA) {
        return 2;
    }
    return 0;
}

void kestrel_pw_stamp_header(void* spaBuffer, int64_t pts, uint64_t seq) {
    struct spa_meta_header* h =
        spa_buffer_find_meta_data((struct spa_buffer*)spaBuffer, SPA_META_Header, sizeof(*h));
    if (h != NULL) {
        h->pts = pts;
        h->flags = 0;
        h->seq = seq;
        h->dts_offset = 0;
    }
}

#include <pipewire/core.h>

static void on_core_error(void* data, uint32_t id, int seq, int res, const char* message) {
    (void)seq;
    kestrel_pw_on_core_error(data, id, res, message);
}

static const struct pw_core_events core_events = {
    .version = PW_VERSION_CORE_EVENTS,
    .error = on_core_error,
};

void kestrel_pw_listen_core(struct pw_core* core, struct spa_hook* hook, void* data) {
    pw_core_add_listener(core, hook, &core_events, data);
}
