#include "imaging/pixel_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/frame_bitmap.h"
#include "imaging/frame_painter.h"

namespace {

struct Layout {
  const char* name;
  PixelFormat format;
  std::vector<uint8_t> row;       // as a BMP file stores it
  std::vector<uint32_t> values;   // what Load reads from it, pixel by pixel
  std::vector<uint32_t> colours;  // and as 0xRRGGBB
};

std::vector<Layout> Layouts() {
  return {
      {"Palette1",
       PixelFormat::Indexed(1, {0x000000, 0xFFFFFF}),
       {0b10110010},
       {1, 0, 1, 1, 0, 0, 1, 0},
       {0xFFFFFF, 0, 0xFFFFFF, 0xFFFFFF, 0, 0, 0xFFFFFF, 0}},
      {"Palette4",
       PixelFormat::Indexed(4, {0x112233, 0x445566, 0x778899}),
       {0x21, 0x0F},
       {2, 1, 0, 15},
       {0x778899, 0x445566, 0x112233, 0x000000}},  // entries beyond the table are black
      {"Palette8", PixelFormat::Indexed(8, {0x0A0B0C, 0xABCDEF}), {0x01, 0x00}, {1, 0}, {0xABCDEF, 0x0A0B0C}},
      // Little-endian 5-5-5: 0x7C00 is full red, stored as 00 7C.
      {"Rgb555",
       PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F),
       {0x00, 0x7C, 0x1F, 0x80, 0x21, 0x04},
       {0x7C00, 0x801F, 0x0421},
       {0xFF0000, 0x0000FF, 0x080808}},
      {"Rgb565",
       PixelFormat::Packed(16, 0xF800, 0x07E0, 0x001F),
       {0xE0, 0x07, 0x20, 0x00},
       {0x07E0, 0x0020},
       {0x00FF00, 0x000400}},
      {"BitFields444", PixelFormat::Packed(16, 0x0F00, 0x00F0, 0x000F), {0x5A, 0xF3}, {0xF35A}, {0x3355AA}},
      {"Rgb24",
       PixelFormat(),
       {0x01, 0x02, 0x03, 0xFF, 0x00, 0x80},
       {0x030201, 0x8000FF},
       {0x030201, 0x8000FF}},
      {"Rgb32",
       PixelFormat::Packed(32, 0xFF0000, 0x00FF00, 0x0000FF),
       {0x01, 0x02, 0x03, 0x7F},
       {0x7F030201},
       {0x030201}},
      {"BitFields32Rgbx",
       PixelFormat::Packed(32, 0x000000FF, 0x0000FF00, 0x00FF0000),
       {0x01, 0x02, 0x03, 0x00},
       {0x030201},
       {0x010203}},
  };
}

class PixelFormatTest : public testing::TestWithParam<Layout> {};

TEST_P(PixelFormatTest, LoadsAndStoresTheFileBytes) {
  const Layout& layout = GetParam();
  for (size_t x = 0; x < layout.values.size(); ++x) {
    SCOPED_TRACE("pixel " + std::to_string(x));
    EXPECT_EQ(layout.format.Load(layout.row.data(), x), layout.values[x]);
    EXPECT_EQ(layout.format.ToRgb(layout.values[x]), layout.colours[x]);
  }
  // Stored pixel by pixel into a row of other bytes, the values give the file's bytes again.
  std::vector<uint8_t> row(layout.row.size(), 0xA5);
  for (size_t x = 0; x < layout.values.size(); ++x) layout.format.Store(row.data(), x, layout.values[x]);
  EXPECT_EQ(row, layout.row);
}

// The encoder's row conversion, fast paths included, gives what the model reads pixel by pixel.
TEST_P(PixelFormatTest, RowConversionAgreesWithThePixelModel) {
  const PixelFormat& format = GetParam().format;
  constexpr size_t kWidth = 37;
  std::mt19937 random(7);
  std::vector<uint8_t> row(format.Stride(kWidth));
  for (uint8_t& byte : row) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> rgbx(kWidth * 4, 0xEE);
  RgbxRowConverter(format).Convert(row.data(), rgbx.data(), kWidth);
  for (size_t x = 0; x < kWidth; ++x) {
    uint32_t rgb = format.ToRgb(format.Load(row.data(), x));
    ASSERT_EQ(rgbx[4 * x], rgb >> 16) << "red at " << x;
    ASSERT_EQ(rgbx[4 * x + 1], (rgb >> 8) & 0xFF) << "green at " << x;
    ASSERT_EQ(rgbx[4 * x + 2], rgb & 0xFF) << "blue at " << x;
    ASSERT_EQ(rgbx[4 * x + 3], 0) << "filler at " << x;
  }
}

// The 5-6-5 and 5-5-5 fast paths, which cameras deliver, for every value a pixel can hold.
TEST(PixelFormat, SixteenBitFastPathsAgreeForEveryValue) {
  for (const PixelFormat& format :
       {PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F), PixelFormat::Packed(16, 0xF800, 0x07E0, 0x001F)}) {
    constexpr size_t kValues = 65536;
    std::vector<uint8_t> row(2 * kValues);
    for (size_t value = 0; value < kValues; ++value)
      format.Store(row.data(), value, static_cast<uint32_t>(value));
    std::vector<uint8_t> rgbx(4 * kValues);
    RgbxRowConverter(format).Convert(row.data(), rgbx.data(), kValues);
    for (size_t value = 0; value < kValues; ++value) {
      uint32_t rgb = format.ToRgb(static_cast<uint32_t>(value));
      uint32_t converted =
          uint32_t{rgbx[4 * value]} << 16 | uint32_t{rgbx[4 * value + 1]} << 8 | rgbx[4 * value + 2];
      ASSERT_EQ(converted, rgb) << "value " << value << ", green mask " << format.green_mask();
      ASSERT_EQ(rgbx[4 * value + 3], 0) << "value " << value;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PixelFormatTest, testing::ValuesIn(Layouts()),
                         [](const testing::TestParamInfo<Layout>& param) {
                           return std::string(param.param.name);
                         });

TEST(PixelFormat, ColoursAreHeldAtTheFormatsPrecision) {
  struct Case {
    const char* name;
    PixelFormat format;
    uint32_t rgb;
    uint32_t value;
  };
  for (const Case& c : {
           Case{"Rgb555 keeps the top five bits", PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F), 0xCCCCCC,
                (25u << 10) | (25u << 5) | 25u},
           Case{"Rgb565 has six bits of green", PixelFormat::Packed(16, 0xF800, 0x07E0, 0x001F), 0x333333,
                (6u << 11) | (12u << 5) | 6u},
           Case{"Rgb32 leaves the spare byte clear", PixelFormat::Packed(32, 0xFF0000, 0xFF00, 0xFF),
                0x123456, 0x123456},
           Case{"a 10-bit channel spans its range", PixelFormat::Packed(32, 0x3FF00000, 0xFFC00, 0x3FF),
                0xFF0000, 0x3FF00000},
           Case{"nearest palette entry", PixelFormat::Indexed(8, {0x000000, 0xFFFFFF, 0xD0D0D0, 0x303030}),
                0xCCCCCC, 2},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.format.FromRgb(c.rgb), c.value);
  }
  EXPECT_EQ(PixelFormat::Packed(32, 0xFF0000, 0xFF00, 0xFF).spare_bits(), 0xFF000000u);
  EXPECT_EQ(PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F).spare_bits(), 0x8000u);
}

TEST(PixelFormat, RefusesLayoutsItCannotHold) {
  EXPECT_THROW(PixelFormat::Indexed(2, {}), std::invalid_argument);
  EXPECT_THROW(PixelFormat::Indexed(1, {1, 2, 3}), std::invalid_argument);
  EXPECT_THROW(PixelFormat::Packed(16, 0x1F800, 0x07E0, 0x001F), std::invalid_argument);  // beyond the pixel
  EXPECT_THROW(PixelFormat::Packed(16, 0xF800, 0x0FE0, 0x001F), std::invalid_argument);   // overlapping
  EXPECT_THROW(PixelFormat::Packed(32, 0xFF00FF, 0xFF00, 0), std::invalid_argument);      // gappy, empty
  EXPECT_THROW(PixelFormat::Packed(12, 0xF00, 0xF0, 0xF), std::invalid_argument);
}

TEST(FrameBitmap, HoldsEveryPixelOrRefuses) {
  PixelFormat rgb555 = PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F);
  // 3 pixels of 16 bits are 6 bytes, padded to 8 per row.
  EXPECT_THROW(FrameBitmap(3, 2, rgb555, RowOrder::kTopDown, PixelBuffer(15)), std::invalid_argument);
  EXPECT_THROW(FrameBitmap(-1, 2, rgb555, RowOrder::kTopDown, PixelBuffer(16)), std::invalid_argument);
  FrameBitmap frame(3, 2, rgb555, RowOrder::kBottomUp, PixelBuffer(16, 0));
  EXPECT_EQ(frame.stride(), 8u);
  frame.Row(0)[0] = 0x1F;  // the top row is stored last
  EXPECT_EQ(frame.RgbAt(0, 0), 0x0000FFu);
  FrameBitmap copy = frame;
  frame.Row(0)[0] = 0;
  EXPECT_EQ(copy.RgbAt(0, 0), 0x0000FFu) << "a copy has rows of its own";
  FrameBitmap moved = std::move(copy);
  EXPECT_EQ(moved.RgbAt(0, 0), 0x0000FFu);
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from frame is empty
}

// Ink at the frame's edges is clipped, and only ink changes pixels.
TEST(FramePainter, DrawsInkClippedToTheFrame) {
  FrameBitmap frame(4, 3, PixelFormat(), RowOrder::kTopDown, PixelBuffer(3 * 12, 0));
  const uint8_t bits[] = {0b11000000, 0b01000000};  // 2x2, the bottom-left pixel blank
  FramePainter painter(frame);
  painter.DrawMono({2, 2, 1, bits}, -1, -1, 0x010203);  // only its bottom-right pixel lands, at 0,0
  painter.DrawMono({2, 2, 1, bits}, 3, 2, 0x0A0B0C);    // only its top-left pixel lands, at 3,2
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 4; ++x) {
      uint32_t expected = x == 0 && y == 0 ? 0x010203 : x == 3 && y == 2 ? 0x0A0B0C : 0;
      EXPECT_EQ(frame.RgbAt(x, y), expected) << x << "," << y;
    }
  }
}

}  // namespace
