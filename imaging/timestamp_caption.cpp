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
  MonoBitmap View() const { return {width, height, pitch(), bits.data()}; }
};

// The text's ink, and its rim: what the ink covers when drawn at the nine positions around its
// own, less the ink itself. Drawing the rim and then the ink gives every pixel its final colour at
// once, the same as nine outline draws with the text on top. Both bitmaps share one frame, a pixel
// wider than the ink on every side.
struct CaptionBitmaps {
  InkBitmap ink;
  InkBitmap rim;
};

CaptionBitmaps GatherInk(const std::vector<InkPixel>& ink) {
  CaptionBitmaps gathered;
  if (ink.empty()) return gathered;
  InkBitmap& text = gathered.ink;
  int32_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN;
  for (InkPixel pixel : ink) {
    left = std::min(left, pixel.x);
    top = std::min(top, pixel.y);
    right = std::max(right, pixel.x + 1);
    bottom = std::max(bottom, pixel.y + 1);
  }
  text.left = left - 1;
  text.top = top - 1;
  text.width = right - left + 2;
  text.height = bottom - top + 2;
  const size_t pitch = text.pitch();
  text.bits.assign(pitch * static_cast<size_t>(text.height), 0);
  for (InkPixel pixel : ink) text.Set(pixel.x, pixel.y);

  // Row by row, eight pixels a step: each text row spread one pixel left and right (bits run from
  // the high end of a byte), then three such rows together, less the text.
  std::vector<uint8_t> spread(text.bits.size());
  for (size_t at = 0; at < text.bits.size(); ++at) {
    const size_t column = at % pitch;
    const uint8_t before = column > 0 ? text.bits[at - 1] : 0;
    const uint8_t after = column + 1 < pitch ? text.bits[at + 1] : 0;
    const uint8_t bits = text.bits[at];
    spread[at] = static_cast<uint8_t>(bits | bits >> 1 | before << 7 | bits << 1 | after >> 7);
  }
  InkBitmap& rim = gathered.rim;
  rim.left = text.left;
  rim.top = text.top;
  rim.width = text.width;
  rim.height = text.height;
  rim.bits.assign(text.bits.size(), 0);
  for (size_t at = 0; at < rim.bits.size(); ++at) {
    const uint8_t above = at >= pitch ? spread[at - pitch] : 0;
    const uint8_t below = at + pitch < spread.size() ? spread[at + pitch] : 0;
    rim.bits[at] = static_cast<uint8_t>((above | spread[at] | below) & ~text.bits[at]);
  }
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
