#pragma once

// The names of PipeWire's "Video/Source" nodes, collected in one bounded registry round trip.
// Written in C, where the SPA interface macros belong.

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*kestrel_pw_source_found)(void* data, const char* name);

// Calls `found` once per video source node (its description, else nick, else name). Returns 0
// when PipeWire answered within `timeout_ms`, -1 when it could not be reached or did not answer.
int kestrel_pw_list_video_sources(int timeout_ms, kestrel_pw_source_found found, void* data);

#ifdef __cplusplus
}
#endif
