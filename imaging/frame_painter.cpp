#include "imaging/frame_painter.h"

#include <algorithm>
#include <bit>

namespace {

// Calls paint(row, x) for every ink pixel of bitmap at (left, top) that lies inside the frame.
template <typename Paint>
void ForEachInkPixel(FrameBitmap& frame, const MonoBitmap& bitmap, int32_t left, int32_t top, Paint paint) {
  const int32_t first_row = std::max(0, -top);
  const int32_t end_row = std::min(bitmap.height, frame.height() - top);
  const int32_t first_column = std::max(0, -left);
  const int32_t end_column = std::min(bitmap.width, frame.width() - left);
  if (first_column >= end_column) return;
  const auto first_byte = static_cast<size_t>(first_column / 8);
  const auto end_byte = static_cast<size_t>((end_column + 7) / 8);
  for (int32_t row = first_row; row < end_row; ++row) {
    const uint8_t* ink = bitmap.bits + static_cast<size_t>(row) * bitmap.pitch;
    uint8_t* pixels = nullptr;  // fetched at the row's first ink: many rows of a caption have none
    for (size_t byte = first_byte; byte < end_byte; ++byte) {
      // The set bits one by one, the lowest first: clearing it is one instruction.
      for (unsigned bits = ink[byte]; bits != 0; bits &= bits - 1) {
        int32_t column = static_cast<int32_t>(byte * 8) + 7 - std::countr_zero(bits);
        if (column < first_column || column >= end_column) continue;
        if (pixels == nullptr) pixels = frame.Row(top + row);
        paint(pixels, static_cast<size_t>(left + column));
      }
    }
  }
}

// A packed pixel of Bytes bytes: the colour's bits replaced, the spare bits kept.
template <size_t Bytes>
auto PackedPaint(uint32_t value, uint32_t spare) {
  return [value, spare](uint8_t* row, size_t x) {
    uint8_t* at = row + Bytes * x;
    uint32_t old = 0;
    for (size_t i = 0; i < Bytes; ++i) old |= uint32_t{at[i]} << (8 * i);
    uint32_t updated = (old & spare) | value;
    for (size_t i = 0; i < Bytes; ++i) at[i] = static_cast<uint8_t>(updated >> (8 * i));
  };
}

}  // namespace

void FramePainter::DrawMono(const MonoBitmap& bitmap, int32_t x, int32_t y, uint32_t colour) {
  const PixelFormat& format = frame_.format();
  const uint32_t value = format.FromRgb(colour);
  const uint32_t spare = format.spare_bits();
  // The pixel size fixed per loop, so that each pixel costs a few loads and stores.
  switch (format.indexed() ? 0 : format.bits_per_pixel()) {
    case 16:
      ForEachInkPixel(frame_, bitmap, x, y, PackedPaint<2>(value, spare));
      break;
    case 24:
      ForEachInkPixel(frame_, bitmap, x, y, PackedPaint<3>(value, spare));
      break;
    case 32:
      ForEachInkPixel(frame_, bitmap, x, y, PackedPaint<4>(value, spare));
      break;
    default:
      ForEachInkPixel(frame_, bitmap, x, y,
                      [&format, value](uint8_t* row, size_t at) { format.Store(row, at, value); });
  }
}
