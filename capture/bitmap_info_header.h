#pragma once

#include <cstdint>

// The 40-byte bitmap info header with which a frame format is asked for, laid out as in a BMP file.
struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;  // positive: rows stored bottom-up
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "the header is exactly 40 bytes with no padding");

inline constexpr uint32_t kBiRgb = 0;  // uncompressed; 16 bits per pixel then means 5-5-5

// What a run asks the driver for: the requested size, 16 bits per pixel, uncompressed, bottom-up.
inline BitmapInfoHeader RequestedFrameFormat(int32_t width, int32_t height) {
  BitmapInfoHeader format = {};  // cleared first: every field not named here is zero
  format.biSize = sizeof format;
  format.biWidth = width;
  format.biHeight = height;
  format.biPlanes = 1;
  format.biBitCount = 16;
  format.biCompression = kBiRgb;
  return format;
}
