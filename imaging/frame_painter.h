#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/frame_bitmap.h"

// A one-bit picture such as a glyph or a line of text: rows of pitch bytes, the leftmost pixel in
// the most significant bit of a row's first byte; a set bit is ink.
struct MonoBitmap {
  int32_t width = 0;
  int32_t height = 0;
  size_t pitch = 0;
  const uint8_t* bits = nullptr;

  bool Ink(int32_t x, int32_t y) const {
    return (bits[static_cast<size_t>(y) * pitch + static_cast<size_t>(x) / 8] >> (7 - x % 8)) & 1;
  }
};

// Paints into a frame in the frame's own pixel format.
class FramePainter {
 public:
  explicit FramePainter(FrameBitmap& frame) : frame_(frame) {}

  // Sets the pixels under the ink of bitmap, its top-left corner at (x, y), to colour (0xRRGGBB,
  // held as the frame's format holds it best); ink outside the frame is clipped. Pixels without ink
  // stay, and so do the spare bits (alpha) of painted ones.
  void DrawMono(const MonoBitmap& bitmap, int32_t x, int32_t y, uint32_t colour);

 private:
  FrameBitmap& frame_;
};
