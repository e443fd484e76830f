// A frame turned for a camera mounted mirrored or upside down: every pixel layout in memory, and the
// whole program with the test source, whose caption must stay upright in the bottom-left corner.
#include "imaging/frame_flip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/cgi_response.h"
#include "imaging/frame_bitmap.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

// Every pixel a value of its own (as far as the depth allows), so that any misplaced one shows.
FrameBitmap Numbered(const PixelFormat& format, int32_t width, int32_t height, RowOrder order) {
  PixelBuffer rows(format.Stride(width) * static_cast<size_t>(height));
  FrameBitmap frame(width, height, format, order, std::move(rows));
  const uint32_t mask = format.bits_per_pixel() == 32 ? 0xFFFFFFFF : (1u << format.bits_per_pixel()) - 1;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      format.Store(frame.Row(y), static_cast<size_t>(x), static_cast<uint32_t>(y * 977 + x * 131 + 7) & mask);
  return frame;
}

struct LayoutCase {
  const char* name;
  PixelFormat format;
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class FlipLayouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(FlipLayouts, EveryPixelLandsWhereTheFlipPutsIt) {
  const PixelFormat& format = GetParam().format;
  // Odd widths leave a middle pixel in place; 13 pixels of 1 or 4 bits end inside a byte.
  for (int32_t width : {1, 2, 13}) {
    for (RowOrder order : {RowOrder::kBottomUp, RowOrder::kTopDown}) {
      for (FrameFlip flip :
           {FrameFlip::kNone, FrameFlip::kHorizontal, FrameFlip::kVertical, FrameFlip::kBoth}) {
        SCOPED_TRACE("width " + std::to_string(width) +
                     (order == RowOrder::kBottomUp ? ", bottom-up" : ", top-down") + ", flip " +
                     std::to_string(static_cast<int>(flip)));
        const int32_t height = 3;
        const FrameBitmap before = Numbered(format, width, height, order);
        FrameBitmap after = before;
        FlipFrame(after, flip);
        const bool mirrored = flip == FrameFlip::kHorizontal || flip == FrameFlip::kBoth;
        const bool upside_down = flip == FrameFlip::kVertical || flip == FrameFlip::kBoth;
        for (int32_t y = 0; y < height; ++y)
          for (int32_t x = 0; x < width; ++x) {
            const int32_t from_x = mirrored ? width - 1 - x : x, from_y = upside_down ? height - 1 - y : y;
            ASSERT_EQ(format.Load(after.Row(y), static_cast<size_t>(x)),
                      format.Load(before.Row(from_y), static_cast<size_t>(from_x)))
                << "width " << width << ", flip " << static_cast<int>(flip) << ", bottom-up "
                << (order == RowOrder::kBottomUp) << ", at " << x << "," << y;
          }
        // Row padding is not part of the picture: a mirror must not pull it in.
        for (int32_t y = 0; y < height; ++y)
          for (size_t byte = (static_cast<size_t>(width) * format.bits_per_pixel() + 7) / 8;
               byte < after.stride(); ++byte)
            ASSERT_EQ(after.Row(y)[byte], before.Row(upside_down ? height - 1 - y : y)[byte]);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FlipLayouts,
    testing::Values(LayoutCase{"Palette1", PixelFormat::Indexed(1, {0x000000, 0xFFFFFF})},
                    LayoutCase{"Palette4", PixelFormat::Indexed(4, {})},
                    LayoutCase{"Palette8", PixelFormat::Indexed(8, {})},
                    LayoutCase{"Rgb555", PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F)},
                    LayoutCase{"Bgr24", PixelFormat()},
                    LayoutCase{"Bgrx32", PixelFormat::Packed(32, 0xFF0000, 0x00FF00, 0x0000FF)}),
    [](const testing::TestParamInfo<LayoutCase>& test) { return std::string(test.param.name); });

// The test source's frame: eight bars left to right under a grey band over the top quarter.
constexpr uint32_t kBars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
constexpr uint32_t kBand = 0x808080;
constexpr uint32_t kCaptionText = 0xCCCCCC;

// Pixels of the caption's text colour in the given corner's 120 x 20 pixels.
int CaptionPixels(const DecodedJpeg& picture, bool bottom, bool left) {
  int found = 0;
  for (int y = bottom ? picture.height - 20 : 0; y < (bottom ? picture.height : 20); ++y)
    for (int x = left ? 0 : picture.width - 120; x < (left ? 120 : picture.width); ++x)
      found += ColoursNear(picture.At(x, y), kCaptionText, 24);
  return found;
}

struct ProgramCase {
  const char* flip;
  bool mirrored;
  bool upside_down;
  const char* warning;  // nullptr: none
};

void PrintTo(const ProgramCase& c, std::ostream* out) { *out << "STILLCAM_FLIP=" << c.flip; }

class FlipProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(FlipProgram, TurnsTheFrameAndDrawsTheCaptionUprightBottomLeft) {
  const ProgramCase& c = GetParam();
  TempFolder tmp;
  ProcessResult result = RunStillcam({"STILLCAM_DEVICE=test", "QUERY_STRING=large&timestamp",
                                      std::string("STILLCAM_FLIP=") + c.flip, "TMPDIR=" + tmp.path()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, c.warning ? std::string("stillcam: ") + c.warning + "\n" : "");
  EXPECT_TRUE(tmp.Entries().empty());
  ASSERT_GT(result.out.size(), kResponseHeaderSize);
  DecodedJpeg picture = DecodeJpeg(result.out.substr(kResponseHeaderSize));
  ASSERT_TRUE(picture.ok) << picture.error;
  ASSERT_EQ(picture.width, 640);
  ASSERT_EQ(picture.height, 480);

  for (int bar = 0; bar < 8; ++bar) {
    const int x = 640 * (2 * bar + 1) / 16;
    const uint32_t expected = kBars[c.mirrored ? 7 - bar : bar];
    EXPECT_TRUE(ColoursNear(picture.At(x, 240), expected, 24))
        << "bar " << bar << ": " << std::hex << picture.At(x, 240);
  }
  // The band across the top, or across the bottom; away from the caption on the left.
  EXPECT_TRUE(ColoursNear(picture.At(600, c.upside_down ? 470 : 10), kBand, 16));
  EXPECT_FALSE(ColoursNear(picture.At(600, c.upside_down ? 10 : 470), kBand, 16));
  // The caption is drawn after the turn: bottom left, and nowhere else.
  EXPECT_GT(CaptionPixels(picture, true, true), 30);
  EXPECT_EQ(CaptionPixels(picture, true, false), 0);
  EXPECT_EQ(CaptionPixels(picture, false, true), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FlipProgram,
    testing::Values(ProgramCase{"", false, false, nullptr}, ProgramCase{"h", true, false, nullptr},
                    ProgramCase{"v", false, true, nullptr}, ProgramCase{"hv", true, true, nullptr},
                    ProgramCase{"upside-down", false, false,
                                "STILLCAM_FLIP=upside-down ignored: not h, v or hv; using no flip"}));

}  // namespace
