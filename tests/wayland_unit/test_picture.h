#pragma once

/* The picture the PipeWire test source sends and its test expects: 0xRRGGBB
   of pixel (x, y), a different picture for each seed. */

#include <stdint.h>

static inline uint32_t ostrel_test_picture(uint32_t seed, uint32_t x, uint32_t y) {
  const uint32_t r = (x * 5U + seed) & 0xFFU;
  const uint32_t g = (y * 7U + seed * 3U) & 0xFFU;
  const uint32_t b = ((x + y) * 3U + seed * 11U) & 0xFFU;
  return (r << 16) | (g << 8) | b;
}
