#pragma once

#include <cstddef>
#include <cstdint>

// Pixel rows as a capture source holds them: 16 bits (5-5-5) or 24 bits (blue, green, red).
struct BmpPixels {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bits_per_pixel = 0;  // 16 or 24
  const uint8_t* rows = nullptr;
  size_t stride = 0;      // bytes from one row to the next in memory
  bool top_down = false;  // rows[0] is the top row (otherwise the bottom row, as the file stores it)
};

// Writes a standard bottom-up BMP (file header, 40-byte info header, rows padded to 4 bytes),
// into path (created with mode 0600 when absent, written from its start and cut to length). False with
// errno set on failure.
bool WriteBmpFile(const char* path, const BmpPixels& pixels);

// The same for rows anywhere in memory: bottom_up_rows[i] is the i-th row from the bottom. A frame
// with many identical rows (a test pattern) then needs each distinct row stored only once.
bool WriteBmpRows(const char* path, int32_t width, int32_t height, uint16_t bits_per_pixel,
                  const uint8_t* const* bottom_up_rows);
