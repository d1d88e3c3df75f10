#pragma once

// The SPA pods a video stream consumer hands PipeWire, built and read in C:
// SPA's builder macros make compound literals, which C++ does not have.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spa_pod;

// The pixel orders of 32-bit frames the program reads.
enum ostrel_video_order {
  OSTREL_VIDEO_NONE = 0,
  OSTREL_VIDEO_BGRX,  // bytes B, G, R, x: a little-endian 0xxxRRGGBB word
  OSTREL_VIDEO_RGBX,  // bytes R, G, B, x
};

// EnumFormat: raw video, BGRx, BGRA, RGBx or RGBA, any size and rate, and no
// DRM modifier (so that the producer gives memory the CPU can read). Built
// into `buffer`; null when it does not fit.
const struct spa_pod* ostrel_video_enum_format(uint8_t* buffer, size_t size);

// Buffers: in a memfd or plain memory (no DMA-BUF), `stride` x `height`
// bytes. Built into `buffer`; null when it does not fit.
const struct spa_pod* ostrel_video_buffers(uint8_t* buffer, size_t size, int32_t stride,
                                           int32_t height);

// Reads a negotiated Format: its size and pixel order; 0 when it is raw video
// of a 32-bit order the program reads, -1 otherwise.
int ostrel_video_parse_format(const struct spa_pod* format, uint32_t* width, uint32_t* height,
                              enum ostrel_video_order* order);

#ifdef __cplusplus
}
#endif
