#pragma once

#include <cstdint>
#include <vector>

// The frame as loaded from the frame file, in the file's own pixel format.
struct FrameBitmap {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bits_per_pixel = 0;
  std::vector<uint8_t> pixels;

  bool empty() const { return width == 0 || height == 0; }
};
