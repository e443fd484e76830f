#include "imaging/frame_flip.h"

#include <algorithm>

#include "imaging/frame_bitmap.h"

namespace {

// Whole pixels of size bytes, swapped end for end.
template <size_t size>
void MirrorPixels(uint8_t* row, size_t width) {
  for (size_t left = 0, right = width - 1; left < right; ++left, --right)
    std::swap_ranges(row + left * size, row + left * size + size, row + right * size);
}

void MirrorRow(uint8_t* row, size_t width, const PixelFormat& format) {
  switch (format.bits_per_pixel()) {
    case 8:
      std::reverse(row, row + width);
      return;
    case 16:
      return MirrorPixels<2>(row, width);
    case 24:
      return MirrorPixels<3>(row, width);
    case 32:
      return MirrorPixels<4>(row, width);
    default:  // several pixels to a byte
      for (size_t left = 0, right = width - 1; left < right; ++left, --right) {
        const uint32_t value = format.Load(row, left);
        format.Store(row, left, format.Load(row, right));
        format.Store(row, right, value);
      }
  }
}

}  // namespace

void FlipFrame(FrameBitmap& frame, FrameFlip flip) {
  if (frame.empty()) return;
  if (flip == FrameFlip::kHorizontal || flip == FrameFlip::kBoth) {
    for (int32_t y = 0; y < frame.height(); ++y)
      MirrorRow(frame.Row(y), static_cast<size_t>(frame.width()), frame.format());
  }
  if (flip == FrameFlip::kVertical || flip == FrameFlip::kBoth) frame.ReverseRowOrder();
}
