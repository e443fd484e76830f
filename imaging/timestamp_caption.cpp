#include "imaging/timestamp_caption.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "base/platform.h"
#include "imaging/caption_ink.h"
#include "imaging/frame_painter.h"

namespace {

constexpr uint32_t kOutlineColour = 0x333333;
constexpr uint32_t kTextColour = 0xCCCCCC;

// Ink pixels gathered into one bitmap, whose top-left corner lies at (left, top) in the text's cell.
struct InkBitmap {
  int32_t left = 0;
  int32_t top = 0;
  std::vector<uint8_t> bits;
  MonoBitmap view;
};

InkBitmap GatherInk(const std::vector<InkPixel>& ink) {
  InkBitmap gathered;
  if (ink.empty()) return gathered;
  int32_t right = INT32_MIN, bottom = INT32_MIN;
  gathered.left = gathered.top = INT32_MAX;
  for (InkPixel pixel : ink) {
    gathered.left = std::min(gathered.left, pixel.x);
    gathered.top = std::min(gathered.top, pixel.y);
    right = std::max(right, pixel.x + 1);
    bottom = std::max(bottom, pixel.y + 1);
  }
  MonoBitmap& view = gathered.view;
  view.width = right - gathered.left;
  view.height = bottom - gathered.top;
  view.pitch = static_cast<size_t>(view.width + 7) / 8;
  gathered.bits.assign(view.pitch * static_cast<size_t>(view.height), 0);
  for (InkPixel pixel : ink) {
    auto column = static_cast<size_t>(pixel.x - gathered.left);
    gathered.bits[static_cast<size_t>(pixel.y - gathered.top) * view.pitch + column / 8] |=
        static_cast<uint8_t>(0x80 >> (column % 8));
  }
  view.bits = gathered.bits.data();
  return gathered;
}

}  // namespace

std::string FormatCaptionText(const std::tm& local_time) {
  char text[128];
  size_t length = std::strftime(text, sizeof text, " %Y-%b-%d  %H:%M ", &local_time);
  return std::string(text, length);
}

void DrawCaptionText(FrameBitmap& frame, const std::string& text, int32_t requested_height, bool bold,
                     const NamedFonts& fonts) {
  auto [ink, line_height] = RenderCaptionInk(text, bold, fonts);
  InkBitmap text_ink = GatherInk(ink);
  const int32_t x = 1 + text_ink.left;
  const int32_t y = requested_height - line_height - 1 + text_ink.top;
  // The outline is the text drawn at the nine positions around the anchor, the text itself on top.
  FramePainter painter(frame);
  for (int32_t dx = -1; dx <= 1; ++dx) {
    for (int32_t dy = -1; dy <= 1; ++dy) painter.DrawMono(text_ink.view, x + dx, y + dy, kOutlineColour);
  }
  painter.DrawMono(text_ink.view, x, y, kTextColour);
}

void DrawTimestampCaption(FrameBitmap& frame, int32_t requested_height, bool bold, const NamedFonts& fonts) {
  DrawCaptionText(frame, FormatCaptionText(LocalTime(std::time(nullptr))), requested_height, bold, fonts);
}
