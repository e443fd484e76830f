#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <variant>
#include <vector>

#include "imaging/mapped_pixels.h"
#include "imaging/pixel_format.h"

// An allocator whose resize leaves new bytes uninitialised, for buffers that are filled straight
// away, where zeroing them first would cost more than the filling.
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

// The order in which a bitmap's rows are stored.
enum class RowOrder { kBottomUp, kTopDown };

// A frame in the pixel format of the file it came from, its rows kept as the file stores them
// (padded to 4 bytes, bottom-up or top-down), so that the caption is drawn at the file's precision
// and loading copies nothing. The rows are in memory of the bitmap's own or mapped from the file;
// either way they always hold every pixel of width x height.
class FrameBitmap {
 public:
  // No pixels.
  FrameBitmap() = default;
  // Takes over rows of format.Stride(width) bytes each, height of them in the given order.
  // Throws std::invalid_argument for a negative size or rows that do not hold every pixel.
  FrameBitmap(int32_t width, int32_t height, PixelFormat format, RowOrder order, PixelBuffer rows);
  FrameBitmap(int32_t width, int32_t height, PixelFormat format, RowOrder order, MappedPixels rows);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  bool empty() const { return width_ == 0 || height_ == 0; }
  const PixelFormat& format() const { return format_; }
  // Bytes of one stored row, padding included.
  size_t stride() const { return stride_; }

  // Row y counted from the top; 0 <= y < height().
  const uint8_t* Row(int32_t y) const { return rows_ + RowOffset(y); }
  uint8_t* Row(int32_t y) { return rows_ + RowOffset(y); }

  // For a frame that is being used up from the top: rows 0 to y - 1 will not be read again, so the
  // memory of rows mapped from the file goes back to the system (they would read as the file holds
  // them, without what was drawn). Rows in memory of the bitmap's own are kept.
  void ForgetRowsAbove(int32_t y);

  // Turns the frame upside down by reading its stored rows in the other order; nothing is moved.
  void ReverseRowOrder() {
    order_ = order_ == RowOrder::kBottomUp ? RowOrder::kTopDown : RowOrder::kBottomUp;
  }

  // The pixel at (x, y) as 0xRRGGBB, widened to 8 bits per channel as the encoder widens it.
  uint32_t RgbAt(int32_t x, int32_t y) const {
    return format_.ToRgb(format_.Load(Row(y), static_cast<size_t>(x)));
  }

  FrameBitmap(const FrameBitmap& other);
  FrameBitmap& operator=(const FrameBitmap& other);
  FrameBitmap(FrameBitmap&& other) noexcept;
  FrameBitmap& operator=(FrameBitmap&& other) noexcept;
  ~FrameBitmap() = default;

 private:
  void Check(size_t held) const;
  void PointAtStorage();
  size_t RowOffset(int32_t y) const {
    auto stored_row = static_cast<size_t>(order_ == RowOrder::kBottomUp ? height_ - 1 - y : y);
    return stored_row * stride_;
  }

  int32_t width_ = 0;
  int32_t height_ = 0;
  PixelFormat format_;
  RowOrder order_ = RowOrder::kBottomUp;
  size_t stride_ = 0;
  std::variant<PixelBuffer, MappedPixels> storage_;
  uint8_t* rows_ = nullptr;  // the first stored row, in storage_
};
