#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "imaging/mapped_pixels.h"

// An allocator whose resize leaves new bytes uninitialised: the pixel buffer is filled by a read
// straight away, and zeroing it first costs more than the read itself.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using PixelBuffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// The frame as loaded from the frame file, in the file's own pixel format: the pixel data is kept
// exactly as the file stores it (rows padded to 4 bytes, bottom-up or top-down), so that the caption
// is drawn at the file's precision and loading copies nothing.
struct FrameBitmap {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bits_per_pixel = 0;  // 1, 4, 8 (palette), 16, 24 or 32
  // The stored rows: in memory of our own (pixels), or mapped from the frame file (mapped) when
  // pixels is empty.
  PixelBuffer pixels;
  MappedPixels mapped;
  size_t stride = 0;      // bytes from one stored row to the next
  bool bottom_up = true;  // the stored rows begin with the bottom row, as most BMP files store them
  // Where red, green and blue sit in a 16- or 32-bit pixel (little-endian value); contiguous, non-zero.
  uint32_t red_mask = 0;
  uint32_t green_mask = 0;
  uint32_t blue_mask = 0;
  // Colours of a 1-, 4- or 8-bit frame as 0xRRGGBB, always 2^bits_per_pixel entries
  // (entries the file does not define are black).
  std::vector<uint32_t> palette;

  bool empty() const { return width == 0 || height == 0; }

  // Row y counted from the top.
  const uint8_t* Row(int32_t y) const { return StoredRows() + RowOffset(y); }
  uint8_t* Row(int32_t y) { return StoredRows() + RowOffset(y); }

  // The pixel at (x, y) as 0xRRGGBB, widened to 8 bits per channel as the encoder widens it.
  // For tests and single pixels; the encoder converts whole rows.
  uint32_t RgbAt(int32_t x, int32_t y) const;

 private:
  uint8_t* StoredRows() const { return pixels.empty() ? mapped.data() : const_cast<uint8_t*>(pixels.data()); }
  size_t RowOffset(int32_t y) const {
    size_t stored_row = bottom_up ? static_cast<size_t>(height - 1 - y) : static_cast<size_t>(y);
    return stored_row * stride;
  }
};

// Widens a channel of the given number of bits (1..32) to 8 bits: by bit replication below 8 bits,
// so that full scale stays full scale (5-bit 31 becomes 255), and by keeping the top bits above 8.
inline uint8_t WidenChannel(uint32_t value, unsigned bits) {
  if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
  uint32_t wide = 0;
  for (int shift = 8 - static_cast<int>(bits); shift > -static_cast<int>(bits);
       shift -= static_cast<int>(bits)) {
    wide |= shift >= 0 ? value << shift : value >> -shift;
  }
  return static_cast<uint8_t>(wide);
}
