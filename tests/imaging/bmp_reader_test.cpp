#include "imaging/bmp_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/imaging/bmp_fixture.h"
#include "tests/support/process_runner.h"

namespace {

constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kBlue = 0x0000FF;

FrameBitmap Parse(const std::string& bytes) {
  return ParseFrameBitmap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

FrameBitmap LoadFromFile(const std::string& bytes) {
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  WriteFileBytes(path, bytes);
  return LoadFrameBitmap(path.c_str());
}

// A layout with raw pixel values for red and blue; the fixture puts red in the top row and blue below.
struct Layout {
  const char* name;
  BmpFixture fixture;
  uint32_t red;
  uint32_t blue;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Layout& value, std::ostream* out) { *out << value.name; }

BmpFixture Fixture(uint16_t bits, uint32_t compression = 0, std::vector<uint32_t> masks = {},
                   std::vector<uint32_t> palette = {}, uint32_t info_size = 40, int32_t height = 3) {
  BmpFixture fixture;
  fixture.width = 5;  // odd, so that rows carry padding at every depth
  fixture.height = height;
  fixture.bits = bits;
  fixture.compression = compression;
  fixture.masks = std::move(masks);
  fixture.palette = std::move(palette);
  fixture.info_size = info_size;
  return fixture;
}

std::vector<Layout> Layouts() {
  std::vector<uint32_t> palette16(16, 0x123456);
  palette16[9] = kRed;
  palette16[4] = kBlue;
  std::vector<uint32_t> palette256(256, 0x654321);
  palette256[200] = kRed;
  palette256[7] = kBlue;
  BmpFixture short_table = Fixture(4, 0, {}, {0x111111, kBlue, kRed});
  short_table.colours_used = 3;
  return {
      {"Palette1", Fixture(1, 0, {}, {kBlue, kRed}), 1, 0},
      {"Palette4", Fixture(4, 0, {}, palette16), 9, 4},
      {"Palette4ShortTable", short_table, 2, 1},
      {"Palette8", Fixture(8, 0, {}, palette256), 200, 7},
      {"Rgb555", Fixture(16), 0x7C00, 0x001F},
      {"BitFields565", Fixture(16, 3, {0xF800, 0x07E0, 0x001F}), 0xF800, 0x001F},
      {"BitFields444", Fixture(16, 3, {0x0F00, 0x00F0, 0x000F}), 0x0F00, 0x000F},
      {"Rgb24", Fixture(24), kRed, kBlue},
      {"Rgb24TopDown", Fixture(24, 0, {}, {}, 40, -3), kRed, kBlue},
      {"Rgb32", Fixture(32), 0xFFFF0000, 0xFF0000FF},
      {"BitFields32Rgbx", Fixture(32, 3, {0x000000FF, 0x0000FF00, 0x00FF0000}), 0x000000FF, 0x00FF0000},
      {"BitFields32TenBits", Fixture(32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}), 0x3FF00000, 0x000003FF},
      {"Header52", Fixture(16, 3, {0xF800, 0x07E0, 0x001F}, {}, 52), 0xF800, 0x001F},
      {"Header56", Fixture(32, 3, {0xFF0000, 0xFF00, 0xFF}, {}, 56), kRed, kBlue},
      {"Header108TopDown", Fixture(16, 3, {0xF800, 0x07E0, 0x001F}, {}, 108, -3), 0xF800, 0x001F},
      {"Header124", Fixture(24, 0, {}, {}, 124), kRed, kBlue},
      {"Header124Palette", Fixture(1, 0, {}, {kBlue, kRed}, 124), 1, 0},
  };
}

class LayoutTest : public testing::TestWithParam<Layout> {};

// Red on top, blue at the bottom, whatever the file's layout and row order.
TEST_P(LayoutTest, ColoursAndOrientationSurvive) {
  Layout layout = GetParam();
  BmpFixture fixture = layout.fixture;
  fixture.pixels = Uniform(fixture.width, fixture.height, layout.blue);
  for (int32_t x = 0; x < fixture.width; ++x) fixture.pixels[static_cast<size_t>(x)] = layout.red;
  for (bool from_file : {false, true}) {
    SCOPED_TRACE(from_file ? "loaded from a file" : "parsed in memory");
    FrameBitmap frame = from_file ? LoadFromFile(MakeBmp(fixture)) : Parse(MakeBmp(fixture));
    ASSERT_EQ(frame.width(), 5);
    ASSERT_EQ(frame.height(), 3);
    EXPECT_EQ(frame.format().bits_per_pixel(), fixture.bits);
    for (int32_t x = 0; x < frame.width(); ++x) {
      EXPECT_EQ(frame.RgbAt(x, 0), kRed) << "top row, x=" << x;
      EXPECT_EQ(frame.RgbAt(x, 1), kBlue) << "middle row, x=" << x;
      EXPECT_EQ(frame.RgbAt(x, 2), kBlue) << "bottom row, x=" << x;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BmpLayouts, LayoutTest, testing::ValuesIn(Layouts()),
                         [](const testing::TestParamInfo<Layout>& param) {
                           return std::string(param.param.name);
                         });

TEST(BmpReader, FiveBitChannelsWidenByBitReplication) {
  BmpFixture fixture = Fixture(16);
  fixture.width = 4;
  fixture.height = 1;
  // 5-bit 31, 16, 1 and 0 in red; green and blue show the 5-bit grey of the caption's outline.
  fixture.pixels = {0x7C00, 16u << 10, 1u << 10, (6u << 10) | (6u << 5) | 6u};
  FrameBitmap frame = Parse(MakeBmp(fixture));
  EXPECT_EQ(frame.RgbAt(0, 0), 0xFF0000u);
  EXPECT_EQ(frame.RgbAt(1, 0), 0x840000u);
  EXPECT_EQ(frame.RgbAt(2, 0), 0x080000u);
  EXPECT_EQ(frame.RgbAt(3, 0), 0x313131u);
}

TEST(BmpReader, NoPixelsLoadsAsEmptyBitmap) {
  for (auto [width, height] : {std::pair{0, 3}, std::pair{5, 0}, std::pair{0, 0}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    BmpFixture fixture = Fixture(16);
    fixture.width = width;
    fixture.height = height;
    EXPECT_TRUE(Parse(MakeBmp(fixture)).empty());
    EXPECT_TRUE(LoadFromFile(MakeBmp(fixture)).empty());
  }
}

// The loaded frame is drawn into (the caption); that must change neither the file nor a copy.
TEST(BmpReader, LoadedFrameIsPrivate) {
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  BmpFixture fixture = Fixture(24);
  fixture.pixels = Uniform(fixture.width, fixture.height, kBlue);
  std::string bytes = MakeBmp(fixture);
  WriteFileBytes(path, bytes);
  FrameBitmap frame = LoadFrameBitmap(path.c_str());
  FrameBitmap copy = frame;
  for (int32_t y = 0; y < frame.height(); ++y) frame.Row(y)[2] = 0xFF;  // red into the first pixel
  EXPECT_EQ(frame.RgbAt(0, 2), 0xFF00FFu);
  EXPECT_EQ(copy.RgbAt(0, 2), kBlue);
  EXPECT_EQ(ReadFileBytes(path), bytes);
  FrameBitmap moved = std::move(frame);
  EXPECT_EQ(moved.RgbAt(0, 0), 0xFF00FFu);
}

// A bad file and the words its error message must contain.
struct BadFile {
  const char* name;
  std::string bytes;
  const char* message;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const BadFile& value, std::ostream* out) { *out << value.name; }

std::string Valid(uint16_t bits = 24, uint32_t compression = 0, std::vector<uint32_t> masks = {},
                  std::vector<uint32_t> palette = {}) {
  return MakeBmp(Fixture(bits, compression, std::move(masks), std::move(palette)));
}

std::string Patched32(std::string bytes, size_t offset, uint32_t value) {
  PutLe32(bytes, offset, value);
  return bytes;
}

std::string Patched16(std::string bytes, size_t offset, uint16_t value) {
  PutLe16(bytes, offset, value);
  return bytes;
}

std::vector<BadFile> BadFiles() {
  std::string palette8 = Valid(8, 0, {}, std::vector<uint32_t>(256, 0));
  std::string bitfields = Valid(16, 3, {0xF800, 0x07E0, 0x001F});
  std::string huge = Valid();
  PutLe32(huge, 18, 10000);
  PutLe32(huge, 22, 10000);
  std::string pixels_in_table = Patched32(palette8, 10, 54 + 100);
  return {
      {"Empty", "", "not a BMP"},
      {"Png", "\x89PNG\r\n\x1a\n0000000000000000000000000000", "not a BMP"},
      {"FileHeaderOnly", Valid().substr(0, 14), "truncated BMP header"},
      {"InfoHeaderCut", Valid().substr(0, 40), "truncated BMP header"},
      {"CoreHeader", Patched32(Valid(), 14, 12), "header size 12"},
      {"UnknownHeaderSize", Patched32(Valid(), 14, 64), "header size 64"},
      {"ZeroPlanes", Patched16(Valid(), 26, 0), "plane count 0"},
      {"NegativePlanes", Patched16(Valid(), 26, 0xFFFF), "plane count -1"},
      {"Rle8", Patched32(palette8, 30, 1), "RLE"},
      {"Rle4", Patched32(Valid(4, 0, {}, std::vector<uint32_t>(16, 0)), 30, 2), "RLE"},
      {"EmbeddedJpeg", Patched32(Valid(), 30, 4), "JPEG or PNG"},
      {"EmbeddedPng", Patched32(Valid(), 30, 5), "JPEG or PNG"},
      {"UnknownCompression", Patched32(Valid(), 30, 11), "compression 11"},
      {"TwoBitDepth", Patched16(Valid(), 28, 2), "depth of 2 bits"},
      {"BitFields24", Patched32(Valid(), 30, 3), "depth of 24 bits"},
      {"MasksCut", bitfields.substr(0, 60), "masks do not fit"},
      {"ZeroMask", Valid(16, 3, {0xF800, 0, 0x001F}), "masks are unusable"},
      {"MaskBeyondPixel", Valid(16, 3, {0x1F800, 0x07E0, 0x001F}), "masks are unusable"},
      {"SplitMask", Valid(16, 3, {0xF801, 0x07E0, 0x001E}), "masks are unusable"},
      {"OverlappingMasks", Valid(16, 3, {0xFC00, 0x07E0, 0x001F}), "masks are unusable"},
      {"TableTooLarge", Patched32(palette8, 46, 257), "colour table of 257 entries"},
      {"TableLargerThanDepth", Patched32(Valid(1, 0, {}, {0, 0}), 46, 3), "colour table of 3 entries"},
      {"TableCut", palette8.substr(0, 54 + 500), "colour table does not fit"},
      {"PixelsInsideTable", pixels_in_table, "does not fit before the pixel data"},
      {"PixelsCut", Valid().substr(0, Valid().size() - 1), "truncated BMP pixel data"},
      {"PixelOffsetBeyondFile", Patched32(Valid(), 10, 1u << 30), "truncated BMP pixel data"},
      {"NegativeWidth", Patched32(Valid(), 18, static_cast<uint32_t>(-5)), "width is negative"},
      {"MostNegativeHeight", Patched32(Valid(), 22, 0x80000000u), "height out of range"},
      {"HundredMegapixels", huge, "10000x10000 pixels is too large"},
      {"WideAndShort", Patched32(Patched32(Valid(), 18, 0x7FFFFFFF), 22, 1), "too large"},
  };
}

class BadFileTest : public testing::TestWithParam<BadFile> {};

TEST_P(BadFileTest, FailsWithClearMessage) {
  const BadFile& bad = GetParam();
  for (bool from_file : {false, true}) {
    try {
      FrameBitmap frame = from_file ? LoadFromFile(bad.bytes) : Parse(bad.bytes);
      ADD_FAILURE() << (from_file ? "loaded" : "parsed") << " a " << frame.width() << "x" << frame.height()
                    << " frame";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(bad.message), std::string::npos)
          << (from_file ? "load: " : "parse: ") << error.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BmpReader, BadFileTest, testing::ValuesIn(BadFiles()),
                         [](const testing::TestParamInfo<BadFile>& param) {
                           return std::string(param.param.name);
                         });

TEST(BmpReader, RefusesWhatIsNotARegularFile) {
  TempFolder folder;
  std::string target = folder.path() + "/target.bmp";
  WriteFileBytes(target, Valid());
  std::string directory = folder.path() + "/directory.bmp";
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  struct Case {
    std::string path;
    const char* message;
  };
  for (const Case& c : {Case{folder.path() + "/missing.bmp", "cannot open frame file: No such file"},
                        Case{directory, "not a regular file"}}) {
    try {
      LoadFrameBitmap(c.path.c_str());
      ADD_FAILURE() << c.path << " loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
          << c.path << ": " << error.what();
    }
  }
  EXPECT_EQ(LoadFrameBitmap(target.c_str()).width(), 5);
}

}  // namespace
