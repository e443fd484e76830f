#include "capture/bmp_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "imaging/bmp_reader.h"
#include "tests/support/process_runner.h"

namespace {

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

uint16_t U16At(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

// Rows in memory whose every byte says where it came from: row r, byte b holds 16 * r + b + 1.
std::vector<uint8_t> LabelledRows(int rows, size_t stride) {
  std::vector<uint8_t> memory(rows * stride);
  for (int r = 0; r < rows; ++r)
    for (size_t b = 0; b < stride; ++b) memory[r * stride + b] = static_cast<uint8_t>(16 * r + b + 1);
  return memory;
}

struct LayoutCase {
  const char* name;
  int32_t width;
  int32_t height;
  uint16_t bits;
  size_t stride;
  bool top_down;
  size_t file_row_bytes;  // with padding
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class BmpWriterLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(BmpWriterLayout, HeadersRowsAndPaddingAreStandard) {
  const LayoutCase& c = GetParam();
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  std::vector<uint8_t> memory = LabelledRows(c.height, c.stride);
  BmpPixels pixels{c.width, c.height, c.bits, memory.data(), c.stride, c.top_down};
  ASSERT_TRUE(WriteBmpFile(path.c_str(), pixels)) << strerror(errno);

  std::string file = ReadFileBytes(path);
  const size_t image_size = c.file_row_bytes * c.height;
  ASSERT_EQ(file.size(), 54 + image_size);
  EXPECT_EQ(file.substr(0, 2), "BM");
  EXPECT_EQ(U32At(file, 2), file.size());
  EXPECT_EQ(U32At(file, 6), 0u);  // reserved
  EXPECT_EQ(U32At(file, 10), 54u);
  EXPECT_EQ(U32At(file, 14), 40u);
  EXPECT_EQ(static_cast<int32_t>(U32At(file, 18)), c.width);
  EXPECT_EQ(static_cast<int32_t>(U32At(file, 22)), c.height);  // positive: bottom-up
  EXPECT_EQ(U16At(file, 26), 1);
  EXPECT_EQ(U16At(file, 28), c.bits);
  EXPECT_EQ(U32At(file, 30), 0u);  // BI_RGB
  EXPECT_EQ(U32At(file, 34), image_size);
  for (size_t at = 38; at < 54; at += 4) EXPECT_EQ(U32At(file, at), 0u) << at;

  const size_t row_bytes = static_cast<size_t>(c.width) * c.bits / 8;
  for (int file_row = 0; file_row < c.height; ++file_row) {
    int memory_row = c.top_down ? c.height - 1 - file_row : file_row;
    const size_t at = 54 + file_row * c.file_row_bytes;
    for (size_t b = 0; b < row_bytes; ++b)
      ASSERT_EQ(static_cast<uint8_t>(file[at + b]), memory[memory_row * c.stride + b]) << "row " << file_row;
    for (size_t b = row_bytes; b < c.file_row_bytes; ++b)
      ASSERT_EQ(file[at + b], 0) << "padding of row " << file_row;
  }
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BmpWriterLayout,
    testing::Values(LayoutCase{"Rgb555Aligned", 4, 3, 16, 8, false, 8},
                    LayoutCase{"Rgb555OddWidthPadded", 3, 2, 16, 6, false, 8},
                    LayoutCase{"Bgr24Padded", 3, 3, 24, 9, false, 12},
                    LayoutCase{"Bgr24TopDownWithStride", 5, 4, 24, 16, true, 16},
                    LayoutCase{"Rgb555TopDownAligned", 2, 5, 16, 4, true, 4},
                    LayoutCase{"OnePixel", 1, 1, 24, 3, false, 4},
                    // Larger than the 64 KB the file is written in at a time.
                    LayoutCase{"Bgr24PaddedOverManyWrites", 333, 300, 24, 999, false, 1000},
                    LayoutCase{"Rgb555RowsInOneBlockOverManyWrites", 640, 120, 16, 1280, false, 1280},
                    LayoutCase{"Bgr24TopDownOverManyWrites", 1000, 100, 24, 3001, true, 3000}),
    [](const testing::TestParamInfo<LayoutCase>& test) { return std::string(test.param.name); });

// What the writer stores, the loader reads back pixel for pixel, at both depths and either row order.
TEST(BmpWriter, TheLoaderReadsBackEveryPixel) {
  const uint32_t palette[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x808080, 0xFFFF00};
  const int width = 5, height = 3;  // odd width: rows need padding at both depths
  auto colour_at = [&](int x, int y) { return palette[(x + 2 * y) % 7]; };  // (x, y) from the top
  for (uint16_t bits : {uint16_t{16}, uint16_t{24}}) {
    for (bool top_down : {false, true}) {
      SCOPED_TRACE(std::to_string(bits) + (top_down ? " bits, top-down" : " bits, bottom-up"));
      const size_t stride = width * (bits / 8) + 1;  // rows in memory with a spare byte
      std::vector<uint8_t> memory(stride * height, 0xEE);
      for (int y = 0; y < height; ++y) {
        uint8_t* row = memory.data() + (top_down ? y : height - 1 - y) * stride;
        for (int x = 0; x < width; ++x) {
          const uint32_t c = colour_at(x, y);
          const uint32_t r = c >> 16 & 0xFF, g = c >> 8 & 0xFF, b = c & 0xFF;
          if (bits == 16) {
            const uint32_t packed = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
            row[2 * x] = static_cast<uint8_t>(packed);
            row[2 * x + 1] = static_cast<uint8_t>(packed >> 8);
          } else {
            row[3 * x] = static_cast<uint8_t>(b), row[3 * x + 1] = static_cast<uint8_t>(g),
                    row[3 * x + 2] = static_cast<uint8_t>(r);
          }
        }
      }
      TempFolder folder;
      const std::string path = folder.path() + "/frame.bmp";
      ASSERT_TRUE(
          WriteBmpFile(path.c_str(), BmpPixels{width, height, bits, memory.data(), stride, top_down}));
      FrameBitmap frame = LoadFrameBitmap(path.c_str());
      ASSERT_EQ(frame.width(), width);
      ASSERT_EQ(frame.height(), height);
      EXPECT_EQ(frame.format().bits_per_pixel(), bits);
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const uint32_t expected = colour_at(x, y);
          // 5 bits per channel: 0x80 comes back as the nearest 5-bit value, widened.
          const uint32_t want = bits == 16 && expected == 0x808080 ? 0x848484 : expected;
          EXPECT_EQ(frame.RgbAt(x, y), want) << x << "," << y;
        }
    }
  }
}

TEST(BmpWriter, RowsFromAListMayRepeat) {
  const uint8_t a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {7, 8, 9, 10, 11, 12};
  const uint8_t* bottom_up[] = {a, a, b};  // 3 pixels of 16 bits: 6 bytes, padded to 8
  TempFolder folder;
  const std::string path = folder.path() + "/frame.bmp";
  ASSERT_TRUE(WriteBmpRows(path.c_str(), 3, 3, 16, bottom_up));
  std::string file = ReadFileBytes(path);
  ASSERT_EQ(file.size(), 54u + 24u);
  EXPECT_EQ(U32At(file, 34), 24u);
  EXPECT_EQ(file.substr(54), std::string("\1\2\3\4\5\6\0\0\1\2\3\4\5\6\0\0\7\10\11\12\13\14\0\0", 24));

  const uint8_t* with_a_hole[] = {a, nullptr, b};
  EXPECT_FALSE(WriteBmpRows(path.c_str(), 3, 3, 16, with_a_hole));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(WriteBmpRows(path.c_str(), 3, 3, 12, bottom_up));
  EXPECT_EQ(errno, EINVAL);
}

TEST(BmpWriter, ReplacesAnExistingFileAndShrinksIt) {
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  WriteFileBytes(path, std::string(100000, 'x'));
  std::vector<uint8_t> memory(8, 0x11);
  ASSERT_TRUE(WriteBmpFile(path.c_str(), BmpPixels{2, 2, 16, memory.data(), 4, false}));
  std::string file = ReadFileBytes(path);
  EXPECT_EQ(file.size(), 54u + 8u);
  EXPECT_EQ(file.find('x'), std::string::npos);
}

TEST(BmpWriter, RefusesWhatItCannotDescribe) {
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  std::vector<uint8_t> memory(64);
  const BmpPixels refused[] = {
      {0, 2, 16, memory.data(), 4, false},   // no width
      {2, -2, 16, memory.data(), 4, false},  // negative height
      {2, 2, 32, memory.data(), 8, false},   // depth not offered
      {2, 2, 8, memory.data(), 2, false},
      {2, 2, 24, memory.data(), 5, false},  // stride shorter than a row
      {2, 2, 16, nullptr, 4, false},
      {40000, 1, 24, memory.data(), 120000, false},  // larger than a BMP of ours may be
  };
  for (const BmpPixels& pixels : refused) {
    errno = 0;
    EXPECT_FALSE(WriteBmpFile(path.c_str(), pixels)) << pixels.width << "x" << pixels.height;
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_TRUE(folder.Entries().empty());
}

TEST(BmpWriter, ReportsWhyTheFileCannotBeWritten) {
  TempFolder folder;
  std::vector<uint8_t> memory(1000 * 3 * 10);
  const struct {
    const char* name;
    std::string path;
    int error;
  } cases[] = {
      {"folder not there", "/nonexistent/folder/frame.bmp", ENOENT},
      {"a folder in the file's place", folder.path(), EISDIR},
      {"full disk", "/dev/full", ENOSPC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    errno = 0;
    EXPECT_FALSE(WriteBmpFile(c.path.c_str(), BmpPixels{1000, 10, 24, memory.data(), 3000, false}));
    EXPECT_EQ(errno, c.error);
  }
}

}  // namespace
