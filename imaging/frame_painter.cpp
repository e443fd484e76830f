#include "imaging/frame_painter.h"

#include <algorithm>
#include <bit>

void FramePainter::DrawMono(const MonoBitmap& bitmap, int32_t x, int32_t y, uint32_t colour) {
  const PixelFormat& format = frame_.format();
  const uint32_t value = format.FromRgb(colour);
  const uint32_t spare = format.spare_bits();
  const int32_t first_row = std::max(0, -y);
  const int32_t end_row = std::min(bitmap.height, frame_.height() - y);
  const int32_t first_column = std::max(0, -x);
  const int32_t end_column = std::min(bitmap.width, frame_.width() - x);
  if (first_column >= end_column) return;
  const auto first_byte = static_cast<size_t>(first_column / 8);
  const auto end_byte = static_cast<size_t>((end_column + 7) / 8);
  for (int32_t row = first_row; row < end_row; ++row) {
    const uint8_t* ink = bitmap.bits + static_cast<size_t>(row) * bitmap.pitch;
    uint8_t* pixels = nullptr;  // fetched at the row's first ink: many rows of a caption have none
    for (size_t byte = first_byte; byte < end_byte; ++byte) {
      // Set bits one by one, leftmost first.
      for (unsigned bits = ink[byte]; bits != 0; bits &= ~(0x80u >> std::countl_zero(static_cast<uint8_t>(bits)))) {
        auto column = static_cast<int32_t>(byte * 8) + std::countl_zero(static_cast<uint8_t>(bits));
        if (column < first_column || column >= end_column) continue;
        if (pixels == nullptr) pixels = frame_.Row(y + row);
        auto at = static_cast<size_t>(x + column);
        format.Store(pixels, at, spare == 0 ? value : (format.Load(pixels, at) & spare) | value);
      }
    }
  }
}
