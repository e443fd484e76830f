#include "imaging/frame_bitmap.h"

#include <stdexcept>
#include <utility>
#include <variant>

FrameBitmap::FrameBitmap(int32_t width, int32_t height, PixelFormat format, RowOrder order, PixelBuffer rows)
    : width_(width), height_(height), format_(std::move(format)), order_(order), storage_(std::move(rows)) {
  Check(std::get<PixelBuffer>(storage_).size());
  PointAtStorage();
}

FrameBitmap::FrameBitmap(int32_t width, int32_t height, PixelFormat format, RowOrder order, MappedPixels rows)
    : width_(width), height_(height), format_(std::move(format)), order_(order), storage_(std::move(rows)) {
  Check(std::get<MappedPixels>(storage_).size());
  PointAtStorage();
}

void FrameBitmap::Check(size_t held) const {
  if (width_ < 0 || height_ < 0) throw std::invalid_argument("bitmap size is negative");
  size_t stride = format_.Stride(width_);
  if (height_ > 0 && held / static_cast<size_t>(height_) < stride) {
    throw std::invalid_argument("bitmap rows do not hold every pixel");
  }
}

void FrameBitmap::PointAtStorage() {
  stride_ = format_.Stride(width_);
  rows_ = std::visit([](auto& storage) { return static_cast<uint8_t*>(storage.data()); }, storage_);
}

FrameBitmap::FrameBitmap(const FrameBitmap& other)
    : width_(other.width_),
      height_(other.height_),
      format_(other.format_),
      order_(other.order_),
      storage_(other.storage_) {
  PointAtStorage();
}

FrameBitmap& FrameBitmap::operator=(const FrameBitmap& other) {
  if (this != &other) *this = FrameBitmap(other);
  return *this;
}

FrameBitmap::FrameBitmap(FrameBitmap&& other) noexcept { *this = std::move(other); }

FrameBitmap& FrameBitmap::operator=(FrameBitmap&& other) noexcept {
  if (this != &other) {
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    format_ = std::move(other.format_);
    order_ = other.order_;
    storage_ = std::move(other.storage_);
    other.rows_ = nullptr;
    other.stride_ = 0;
    PointAtStorage();
  }
  return *this;
}

void FrameBitmap::ForgetRowsAbove(int32_t y) {
  auto* mapped = std::get_if<MappedPixels>(&storage_);
  if (mapped == nullptr || y <= 0) return;
  const auto rows = static_cast<size_t>(y < height_ ? y : height_);
  const size_t first_stored = order_ == RowOrder::kBottomUp ? static_cast<size_t>(height_) - rows : 0;
  mapped->Forget(first_stored * stride_, rows * stride_);
}
