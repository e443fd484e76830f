#include "imaging/timestamp_caption.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "base/platform.h"
#include "imaging/caption_ink.h"
#include "imaging/frame_painter.h"

namespace {

constexpr uint32_t kOutlineColour = 0x333333;
constexpr uint32_t kTextColour = 0xCCCCCC;

// A one-bit bitmap of our own, its top-left corner at (left, top) in the text's cell.
struct InkBitmap {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> bits;

  size_t pitch() const { return static_cast<size_t>(width + 7) / 8; }
  void Set(int32_t x, int32_t y) {
    auto column = static_cast<size_t>(x - left);
    bits[static_cast<size_t>(y - top) * pitch() + column / 8] |= static_cast<uint8_t>(0x80 >> (column % 8));
  }
  void Clear(int32_t x, int32_t y) {
    auto column = static_cast<size_t>(x - left);
    bits[static_cast<size_t>(y - top) * pitch() + column / 8] &=
        static_cast<uint8_t>(~(0x80u >> (column % 8)));
  }
  MonoBitmap View() const { return {width, height, pitch(), bits.data()}; }
};

// The text's ink, and its rim: what the ink covers when drawn at the nine positions around its
// own, less the ink itself. Drawing the rim and then the ink gives every pixel its final colour at
// once, the same as nine outline draws with the text on top.
struct CaptionBitmaps {
  InkBitmap ink;
  InkBitmap rim;
};

CaptionBitmaps GatherInk(const std::vector<InkPixel>& ink) {
  CaptionBitmaps gathered;
  if (ink.empty()) return gathered;
  InkBitmap& text = gathered.ink;
  int32_t right = INT32_MIN, bottom = INT32_MIN;
  text.left = text.top = INT32_MAX;
  for (InkPixel pixel : ink) {
    text.left = std::min(text.left, pixel.x);
    text.top = std::min(text.top, pixel.y);
    right = std::max(right, pixel.x + 1);
    bottom = std::max(bottom, pixel.y + 1);
  }
  text.width = right - text.left;
  text.height = bottom - text.top;
  text.bits.assign(text.pitch() * static_cast<size_t>(text.height), 0);
  InkBitmap& rim = gathered.rim;
  rim.left = text.left - 1;
  rim.top = text.top - 1;
  rim.width = text.width + 2;
  rim.height = text.height + 2;
  rim.bits.assign(rim.pitch() * static_cast<size_t>(rim.height), 0);
  for (InkPixel pixel : ink) {
    text.Set(pixel.x, pixel.y);
    for (int32_t dy = -1; dy <= 1; ++dy) {
      for (int32_t dx = -1; dx <= 1; ++dx) rim.Set(pixel.x + dx, pixel.y + dy);
    }
  }
  for (InkPixel pixel : ink) rim.Clear(pixel.x, pixel.y);  // the text is drawn there
  return gathered;
}

}  // namespace

std::string FormatCaptionText(const std::tm& local_time) {
  // Built field by field: strftime's %Y does not pad a year before 1000 to four digits, and the month
  // name comes in UTF-8 from the platform layer.
  char year[16];
  char day_and_time[32];
  std::snprintf(year, sizeof year, " %04d-", local_time.tm_year + 1900);
  std::snprintf(day_and_time, sizeof day_and_time, "-%02d  %02d:%02d ", local_time.tm_mday,
                local_time.tm_hour, local_time.tm_min);
  return year + AbbreviatedMonthName(local_time.tm_mon) + day_and_time;
}

void DrawCaptionText(FrameBitmap& frame, const std::string& text, int32_t requested_height, bool bold,
                     const NamedFonts& fonts) {
  auto [ink, line_height] = RenderCaptionInk(text, bold, fonts);
  // The text's cell has its top-left corner at (1, requested_height - line_height - 1).
  const int32_t x = 1;
  const int32_t y = requested_height - line_height - 1;
  // The outline is the text drawn at the nine positions around the anchor, the text itself on top.
  CaptionBitmaps bitmaps = GatherInk(ink);
  FramePainter painter(frame);
  painter.DrawMono(bitmaps.rim.View(), x + bitmaps.rim.left, y + bitmaps.rim.top, kOutlineColour);
  painter.DrawMono(bitmaps.ink.View(), x + bitmaps.ink.left, y + bitmaps.ink.top, kTextColour);
}

void DrawTimestampCaption(FrameBitmap& frame, int32_t requested_height, bool bold, const NamedFonts& fonts) {
  DrawCaptionText(frame, FormatCaptionText(LocalTime(std::time(nullptr))), requested_height, bold, fonts);
}
