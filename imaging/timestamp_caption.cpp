#include "imaging/timestamp_caption.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "base/platform.h"
#include "imaging/caption_ink.h"

namespace {

constexpr uint32_t kOutlineColour = 0x333333;
constexpr uint32_t kTextColour = 0xCCCCCC;

// Reduces an 8-bit channel to the bits a mask holds: the top bits, as the platform reduces a colour
// for a 16-bit bitmap.
uint32_t ReduceChannel(uint32_t value, uint32_t mask) {
  if (mask == 0) return 0;
  int bits = std::popcount(mask);
  uint32_t reduced = bits <= 8 ? value >> (8 - bits) : (value * ((uint64_t{1} << bits) - 1) + 127) / 255;
  return reduced << std::countr_zero(mask);
}

// Paints single pixels of one colour in the frame's own format.
class Painter {
 public:
  Painter(FrameBitmap& frame, uint32_t rgb) : frame_(frame) {
    if (frame.bits_per_pixel <= 8) {
      value_ = NearestPaletteEntry(rgb);
    } else if (frame.bits_per_pixel == 24) {
      value_ = rgb;
    } else {
      value_ = ReduceChannel(rgb >> 16 & 0xFF, frame.red_mask) |
               ReduceChannel(rgb >> 8 & 0xFF, frame.green_mask) | ReduceChannel(rgb & 0xFF, frame.blue_mask);
      keep_ = ~(frame.red_mask | frame.green_mask | frame.blue_mask);
    }
  }

  void Paint(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= frame_.width || y >= frame_.height) return;
    uint8_t* row = frame_.Row(y);
    auto ux = static_cast<size_t>(x);
    switch (frame_.bits_per_pixel) {
      case 24:
        row[ux * 3] = static_cast<uint8_t>(value_);
        row[ux * 3 + 1] = static_cast<uint8_t>(value_ >> 8);
        row[ux * 3 + 2] = static_cast<uint8_t>(value_ >> 16);
        break;
      case 16:
      case 32: {
        size_t bytes = frame_.bits_per_pixel / 8;
        uint8_t* pixel = row + ux * bytes;
        uint32_t old = 0;
        for (size_t i = 0; i < bytes; ++i) old |= uint32_t{pixel[i]} << (8 * i);
        uint32_t updated = (old & keep_) | value_;  // bits outside the colour masks (alpha) stay
        for (size_t i = 0; i < bytes; ++i) pixel[i] = static_cast<uint8_t>(updated >> (8 * i));
        break;
      }
      default: {
        unsigned bits = frame_.bits_per_pixel;
        size_t bit = ux * bits;
        unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
        unsigned mask = ((1u << bits) - 1) << shift;
        row[bit / 8] = static_cast<uint8_t>((row[bit / 8] & ~mask) | (value_ << shift));
      }
    }
  }

 private:
  uint32_t NearestPaletteEntry(uint32_t rgb) const {
    uint32_t best = 0;
    long best_distance = std::numeric_limits<long>::max();
    for (size_t i = 0; i < frame_.palette.size(); ++i) {
      long distance = 0;
      for (int shift : {16, 8, 0}) {
        long difference =
            static_cast<long>(frame_.palette[i] >> shift & 0xFF) - static_cast<long>(rgb >> shift & 0xFF);
        distance += difference * difference;
      }
      if (distance < best_distance) {
        best_distance = distance;
        best = static_cast<uint32_t>(i);
      }
    }
    return best;
  }

  FrameBitmap& frame_;
  uint32_t value_ = 0;
  uint32_t keep_ = 0;
};

}  // namespace

std::string FormatCaptionText(const std::tm& local_time) {
  char text[128];
  size_t length = std::strftime(text, sizeof text, " %Y-%b-%d  %H:%M ", &local_time);
  return std::string(text, length);
}

void DrawCaptionText(FrameBitmap& frame, const std::string& text, int32_t requested_height, bool bold,
                     const NamedFonts& fonts) {
  auto [ink, line_height] = RenderCaptionInk(text, bold, fonts);
  if (ink.empty()) return;
  const int32_t x = 1;
  const int32_t y = requested_height - line_height - 1;
  // The outline is the text drawn at the nine positions around the anchor, the text itself on top.
  // The result is worked out first, so that each pixel is painted once: text where there is ink,
  // outline where ink lies within one pixel (diagonals included), nothing elsewhere.
  int32_t left = ink[0].x, right = ink[0].x, top = ink[0].y, bottom = ink[0].y;
  for (InkPixel pixel : ink) {
    left = std::min(left, pixel.x);
    right = std::max(right, pixel.x);
    top = std::min(top, pixel.y);
    bottom = std::max(bottom, pixel.y);
  }
  const int32_t width = right - left + 3;  // one column of outline on either side
  const int32_t height = bottom - top + 3;
  enum : uint8_t { kUntouched, kOutline, kText };
  std::vector<uint8_t> cover(static_cast<size_t>(width) * static_cast<size_t>(height), kUntouched);
  auto at = [&](int32_t column, int32_t row) -> uint8_t& {
    return cover[static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column)];
  };
  for (InkPixel pixel : ink) {
    for (int32_t row = pixel.y - top; row <= pixel.y - top + 2; ++row) {
      for (int32_t column = pixel.x - left; column <= pixel.x - left + 2; ++column) at(column, row) = kOutline;
    }
  }
  for (InkPixel pixel : ink) at(pixel.x - left + 1, pixel.y - top + 1) = kText;
  const Painter outline(frame, kOutlineColour);
  const Painter text_painter(frame, kTextColour);
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t column = 0; column < width; ++column) {
      uint8_t kind = at(column, row);
      if (kind == kUntouched) continue;
      (kind == kText ? text_painter : outline).Paint(x + left - 1 + column, y + top - 1 + row);
    }
  }
}

void DrawTimestampCaption(FrameBitmap& frame, int32_t requested_height, bool bold, const NamedFonts& fonts) {
  DrawCaptionText(frame, FormatCaptionText(LocalTime(std::time(nullptr))), requested_height, bold, fonts);
}
