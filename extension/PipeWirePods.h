#pragma once

// The SPA pods of the PipeWire node, built in C where the SPA macros are at home.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;

// The node's formats, in order: YUY2 then BGRA, both `width` x `height` at `rate`/1, each a plain
// rectangle and fraction (never a range). Returns how many were written to `params` (2), or 0.
uint32_t kestrel_pw_enum_formats(uint8_t* buffer, uint32_t size, const struct spa_pod** params,
                                 uint32_t width, uint32_t height, uint32_t rate);

// The buffer requirements once a format is fixed, and the header meta. Returns the count (2).
uint32_t kestrel_pw_buffer_params(uint8_t* buffer, uint32_t size, const struct spa_pod** params,
                                  uint32_t stride, uint32_t frameBytes);

// 1 for YUY2, 2 for BGRA, 0 for anything else; the size into width and height.
int kestrel_pw_parse_format(const struct spa_pod* param, uint32_t* width, uint32_t* height);

// Stamps the buffer's header meta, when it has one, with a presentation time and sequence.
void kestrel_pw_stamp_header(void* spaBuffer, int64_t pts, uint64_t seq);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct pw_core;
struct spa_hook;

// Listens for errors on the core; kestrel_pw_on_core_error(data, ...) is called for each.
void kestrel_pw_listen_core(struct pw_core* core, struct spa_hook* hook, void* data);
// Implemented by the C++ side.
void kestrel_pw_on_core_error(void* data, uint32_t id, int res, const char* message);

#ifdef __cplusplus
}
#endif
