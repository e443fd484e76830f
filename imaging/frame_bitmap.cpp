#include "imaging/frame_bitmap.h"

#include <bit>

uint32_t FrameBitmap::RgbAt(int32_t x, int32_t y) const {
  const uint8_t* row = Row(y);
  auto ux = static_cast<size_t>(x);
  switch (bits_per_pixel) {
    case 1:
    case 4:
    case 8: {
      size_t bit = ux * bits_per_pixel;
      unsigned index = (row[bit / 8] >> (8 - bits_per_pixel - bit % 8)) & ((1u << bits_per_pixel) - 1);
      return palette[index];
    }
    case 24:
      return (uint32_t{row[ux * 3 + 2]} << 16) | (uint32_t{row[ux * 3 + 1]} << 8) | row[ux * 3];
    default: {
      uint32_t value = 0;
      size_t bytes = bits_per_pixel / 8;
      for (size_t i = 0; i < bytes; ++i) value |= uint32_t{row[ux * bytes + i]} << (8 * i);
      uint32_t rgb = 0;
      for (uint32_t mask : {red_mask, green_mask, blue_mask}) {
        rgb = (rgb << 8) | WidenChannel((value & mask) >> std::countr_zero(mask),
                                        static_cast<unsigned>(std::popcount(mask)));
      }
      return rgb;
    }
  }
}
