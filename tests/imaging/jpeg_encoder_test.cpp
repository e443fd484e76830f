#include "imaging/jpeg_encoder.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <jpeglib.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "imaging/bmp_reader.h"
#include "tests/imaging/bmp_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

FrameBitmap Parse(const std::string& bytes) {
  return ParseFrameBitmap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Encode(const FrameBitmap& frame) {
  TempFolder folder;
  std::string path = folder.path() + "/picture.jpg";
  EncodeJpegFile(frame, path.c_str());
  return ReadFileBytes(path);
}

std::string Cjpeg(const std::string& bmp) {
  TempFolder folder;
  std::string path = folder.path() + "/frame.bmp";
  WriteFileBytes(path, bmp);
  ProcessResult result = RunProcess("/usr/bin/cjpeg", {"-quality", "85", "-baseline", path}, {});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.out;
}

// A frame with edges, gradients and every value of a channel, so that all of the codec is exercised.
uint32_t PatternRgb(int32_t x, int32_t y) {
  auto r = static_cast<uint32_t>((x * 7 + y * 3) & 0xFF);
  auto g = static_cast<uint32_t>(((x / 4) % 2 == 0 ? 255 - y * 5 : x * 11) & 0xFF);
  auto b = static_cast<uint32_t>((x * y) & 0xFF);
  return (r << 16) | (g << 8) | b;
}

BmpFixture Pattern24(int32_t width, int32_t height) {
  BmpFixture fixture;
  fixture.width = width;
  fixture.height = height;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) fixture.pixels.push_back(PatternRgb(x, y));
  }
  return fixture;
}

// libjpeg-turbo's own tool, given the same 24-bit BMP, is the oracle: same settings, same bytes.
TEST(JpegEncoder, MatchesCjpegByteForByte) {
  for (auto [width, height] : {std::pair{1, 1}, std::pair{37, 23}, std::pair{160, 120}, std::pair{321, 17}}) {
    std::string bmp = MakeBmp(Pattern24(width, height));
    std::string ours = Encode(Parse(bmp));
    ASSERT_FALSE(ours.empty());
    EXPECT_TRUE(ours == Cjpeg(bmp)) << width << "x" << height << ": " << ours.size()
                                    << " bytes differ from cjpeg";
  }
}

// Expected widening of an n-bit channel value, written out per width rather than computed generally.
uint32_t Widen5(uint32_t v) { return (v << 3) | (v >> 2); }
uint32_t Widen6(uint32_t v) { return (v << 2) | (v >> 4); }
uint32_t Widen4(uint32_t v) { return (v << 4) | v; }

// A frame in some layout and the 24-bit rendition it must encode exactly as.
struct Rendition {
  const char* name;
  BmpFixture frame;
  BmpFixture rgb24;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Rendition& value, std::ostream* out) { *out << value.name; }

std::vector<Rendition> Renditions() {
  constexpr int32_t kWidth = 35;
  constexpr int32_t kHeight = 21;
  std::vector<uint32_t> palette(256);
  for (uint32_t i = 0; i < 256; ++i) palette[i] = (i * 0x010203u * 37u) & 0xFFFFFF;

  auto make = [&](const char* name, uint16_t bits, uint32_t compression, std::vector<uint32_t> masks,
                  std::vector<uint32_t> table, auto raw_and_rgb) {
    Rendition rendition{name, {}, {}};
    rendition.frame.width = rendition.rgb24.width = kWidth;
    rendition.frame.height = rendition.rgb24.height = kHeight;
    rendition.frame.bits = bits;
    rendition.frame.compression = compression;
    rendition.frame.masks = std::move(masks);
    rendition.frame.palette = std::move(table);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        auto [raw, rgb] = raw_and_rgb(x, y);
        rendition.frame.pixels.push_back(raw);
        rendition.rgb24.pixels.push_back(rgb);
      }
    }
    return rendition;
  };
  auto pair = [](uint32_t raw, uint32_t rgb) { return std::pair{raw, rgb}; };

  std::vector<Rendition> renditions;
  renditions.push_back(make("Rgb555", 16, 0, {}, {}, [&](uint32_t x, uint32_t y) {
    uint32_t r = x % 32, g = y % 32, b = (x + y) % 32;
    return pair((r << 10) | (g << 5) | b, (Widen5(r) << 16) | (Widen5(g) << 8) | Widen5(b));
  }));
  renditions.push_back(make("BitFields565", 16, 3, {0xF800, 0x07E0, 0x001F}, {}, [&](uint32_t x, uint32_t y) {
    uint32_t r = (x + 5) % 32, g = (x * 2 + y) % 64, b = y % 32;
    return pair((r << 11) | (g << 5) | b, (Widen5(r) << 16) | (Widen6(g) << 8) | Widen5(b));
  }));
  renditions.push_back(make("BitFields444", 16, 3, {0x0F00, 0x00F0, 0x000F}, {}, [&](uint32_t x, uint32_t y) {
    uint32_t r = x % 16, g = y % 16, b = (x * y) % 16;
    return pair((r << 8) | (g << 4) | b, (Widen4(r) << 16) | (Widen4(g) << 8) | Widen4(b));
  }));
  renditions.push_back(make("Rgb32", 32, 0, {}, {}, [&](uint32_t x, uint32_t y) {
    uint32_t rgb = PatternRgb(static_cast<int32_t>(x), static_cast<int32_t>(y));
    return pair(0xAB000000 | rgb, rgb);
  }));
  renditions.push_back(
      make("BitFields32Bgrx", 32, 3, {0xFF, 0xFF00, 0xFF0000}, {}, [&](uint32_t x, uint32_t y) {
        uint32_t rgb = PatternRgb(static_cast<int32_t>(x), static_cast<int32_t>(y));
        uint32_t swapped = ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | (rgb >> 16);
        return pair(swapped, rgb);
      }));
  renditions.push_back(
      make("BitFields32Xrgb", 32, 3, {0xFF00, 0xFF0000, 0xFF000000}, {}, [&](uint32_t x, uint32_t y) {
        uint32_t rgb = PatternRgb(static_cast<int32_t>(x), static_cast<int32_t>(y));
        uint32_t bgr = ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | (rgb >> 16);
        return pair(bgr << 8 | 0x5A, rgb);  // bytes: filler, red, green, blue
      }));
  renditions.push_back(
      make("BitFields32Xbgr", 32, 3, {0xFF000000, 0xFF0000, 0xFF00}, {}, [&](uint32_t x, uint32_t y) {
        uint32_t rgb = PatternRgb(static_cast<int32_t>(x), static_cast<int32_t>(y));
        return pair(rgb << 8 | 0x5A, rgb);  // bytes: filler, blue, green, red
      }));
  renditions.push_back(make(
      "BitFields32TenBits", 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, {}, [&](uint32_t x, uint32_t y) {
        uint32_t r = (x * 29) % 1024, g = (y * 47) % 1024, b = (x * y * 3) % 1024;
        return pair((r << 20) | (g << 10) | b, ((r >> 2) << 16) | ((g >> 2) << 8) | (b >> 2));
      }));
  renditions.push_back(make("Palette8", 8, 0, {}, palette, [&](uint32_t x, uint32_t y) {
    uint32_t index = (x * 7 + y * 13) % 256;
    return pair(index, palette[index]);
  }));
  std::vector<uint32_t> palette16(palette.begin(), palette.begin() + 16);
  renditions.push_back(make("Palette4", 4, 0, {}, palette16, [&](uint32_t x, uint32_t y) {
    uint32_t index = (x + y * 3) % 16;
    return pair(index, palette16[index]);
  }));
  renditions.push_back(make("Palette1", 1, 0, {}, {0x102030, 0xE0D0C0}, [&](uint32_t x, uint32_t y) {
    uint32_t index = (x / 3 + y) % 2;
    return pair(index, index ? 0xE0D0C0u : 0x102030u);
  }));
  Rendition top_down = make("Rgb24TopDown", 24, 0, {}, {}, [&](uint32_t x, uint32_t y) {
    uint32_t rgb = PatternRgb(static_cast<int32_t>(x), static_cast<int32_t>(y));
    return pair(rgb, rgb);
  });
  top_down.frame.height = -kHeight;
  renditions.push_back(top_down);
  return renditions;
}

class RenditionTest : public testing::TestWithParam<Rendition> {};

// Every layout encodes exactly as its 24-bit rendition does in cjpeg: this pins the row order and the
// widening rule (bit replication: 5-bit 31 becomes 255, 16 becomes 132).
TEST_P(RenditionTest, EncodesAsItsRgbRendition) {
  const Rendition& rendition = GetParam();
  std::string ours = Encode(Parse(MakeBmp(rendition.frame)));
  ASSERT_FALSE(ours.empty());
  EXPECT_TRUE(ours == Cjpeg(MakeBmp(rendition.rgb24)));
}

INSTANTIATE_TEST_SUITE_P(JpegEncoder, RenditionTest, testing::ValuesIn(Renditions()),
                         [](const testing::TestParamInfo<Rendition>& param) {
                           return std::string(param.param.name);
                         });

// Decoded, the picture keeps its colours and its orientation: red above, blue below, and a
// full-scale 16-bit white stays white.
TEST(JpegEncoder, DecodesWithColoursAndOrientationKept) {
  struct Case {
    const char* name;
    uint16_t bits;
    int32_t height;
    uint32_t red, blue, white;
  };
  for (const Case& c :
       {Case{"555", 16, 32, 0x7C00, 0x001F, 0x7FFF}, Case{"24", 24, 32, 0xFF0000, 0x0000FF, 0xFFFFFF},
        Case{"24 top-down", 24, -32, 0xFF0000, 0x0000FF, 0xFFFFFF}}) {
    BmpFixture fixture;
    fixture.width = 48;
    fixture.height = c.height;
    fixture.bits = c.bits;
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 48; ++x) fixture.pixels.push_back(x >= 32 ? c.white : y < 16 ? c.red : c.blue);
    }
    DecodedJpeg picture = DecodeJpeg(Encode(Parse(MakeBmp(fixture))));
    ASSERT_TRUE(picture.ok) << c.name << ": " << picture.error;
    ASSERT_EQ(picture.width, 48);
    ASSERT_EQ(picture.height, 32);
    EXPECT_PRED3(ColoursNear, picture.At(8, 4), 0xFF0000u, 3) << c.name << " top";
    EXPECT_PRED3(ColoursNear, picture.At(8, 27), 0x0000FFu, 3) << c.name << " bottom";
    EXPECT_PRED3(ColoursNear, picture.At(40, 16), 0xFFFFFFu, 1) << c.name << " white";
  }
}

// The standard tables of the JPEG format (K.1 and K.2), in natural order.
constexpr unsigned kLuminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                     14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                     18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                     49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr unsigned kChrominance[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                       24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                       99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                       99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// libjpeg's zigzag order: the natural index of the k-th coefficient in a DQT segment.
constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct JpegHeader {
  bool jfif = false;
  int jfif_major = 0, jfif_minor = 0, density_unit = -1, x_density = 0, y_density = 0;
  bool adobe = false;
  bool baseline_frame = false;
  bool progressive = false;
  int components = 0;
  int ids[3] = {}, h[3] = {}, v[3] = {}, table[3] = {};
  std::vector<std::vector<unsigned>> quant;  // by table number, natural order
};

// Reads the markers of our JPEG stream directly (it has no restart markers and no surprises).
JpegHeader ReadHeader(const std::string& jpeg) {
  JpegHeader header;
  header.quant.resize(4);
  auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(jpeg.at(i))); };
  size_t i = 2;
  while (i + 4 <= jpeg.size() && byte(i) == 0xFF) {
    unsigned marker = byte(i + 1);
    size_t length = (byte(i + 2) << 8) | byte(i + 3);
    size_t body = i + 4;
    if (marker == 0xE0 && jpeg.compare(body, 5, std::string("JFIF\0", 5)) == 0) {
      header.jfif = true;
      header.jfif_major = static_cast<int>(byte(body + 5));
      header.jfif_minor = static_cast<int>(byte(body + 6));
      header.density_unit = static_cast<int>(byte(body + 7));
      header.x_density = static_cast<int>((byte(body + 8) << 8) | byte(body + 9));
      header.y_density = static_cast<int>((byte(body + 10) << 8) | byte(body + 11));
    } else if (marker == 0xEE) {
      header.adobe = true;
    } else if (marker == 0xDB) {
      for (size_t at = body; at < i + 2 + length; at += 65) {
        EXPECT_EQ(byte(at) >> 4, 0u) << "8-bit table entries";
        std::vector<unsigned>& table = header.quant.at(byte(at) & 0xF);
        table.assign(64, 0);
        for (int k = 0; k < 64; ++k)
          table[static_cast<size_t>(kZigzag[k])] = byte(at + 1 + static_cast<size_t>(k));
      }
    } else if (marker == 0xC0 || marker == 0xC2) {
      header.baseline_frame = marker == 0xC0;
      header.progressive = marker == 0xC2;
      header.components = static_cast<int>(byte(body + 5));
      for (int c = 0; c < header.components && c < 3; ++c) {
        size_t at = body + 6 + static_cast<size_t>(c) * 3;
        header.ids[c] = static_cast<int>(byte(at));
        header.h[c] = static_cast<int>(byte(at + 1) >> 4);
        header.v[c] = static_cast<int>(byte(at + 1) & 0xF);
        header.table[c] = static_cast<int>(byte(at + 2));
      }
    } else if (marker == 0xDA) {
      break;
    }
    i += 2 + length;
  }
  return header;
}

TEST(JpegEncoder, WritesBaselineJfifAtQuality85) {
  std::string jpeg = Encode(Parse(MakeBmp(Pattern24(160, 120))));
  JpegHeader header = ReadHeader(jpeg);
  EXPECT_TRUE(header.jfif);
  EXPECT_EQ(header.jfif_major, 1);
  EXPECT_EQ(header.jfif_minor, 1);
  EXPECT_EQ(header.density_unit, 0);
  EXPECT_EQ(header.x_density, 1);
  EXPECT_EQ(header.y_density, 1);
  EXPECT_FALSE(header.adobe);
  EXPECT_TRUE(header.baseline_frame);
  EXPECT_FALSE(header.progressive);
  ASSERT_EQ(header.components, 3);
  EXPECT_EQ((std::vector<int>{header.ids[0], header.h[0], header.v[0], header.table[0]}),
            (std::vector<int>{1, 2, 2, 0}));
  EXPECT_EQ((std::vector<int>{header.ids[1], header.h[1], header.v[1], header.table[1]}),
            (std::vector<int>{2, 1, 1, 1}));
  EXPECT_EQ((std::vector<int>{header.ids[2], header.h[2], header.v[2], header.table[2]}),
            (std::vector<int>{3, 1, 1, 1}));
  for (int t = 0; t < 2; ++t) {
    const unsigned* standard = t == 0 ? kLuminance : kChrominance;
    ASSERT_EQ(header.quant[static_cast<size_t>(t)].size(), 64u);
    for (size_t k = 0; k < 64; ++k) {
      unsigned expected = (standard[k] * 30 + 50) / 100;
      EXPECT_EQ(header.quant[static_cast<size_t>(t)][k], expected < 1 ? 1 : expected)
          << "table " << t << " entry " << k;
    }
  }
  DecodedJpeg picture = DecodeJpeg(jpeg);
  ASSERT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, 160);
  EXPECT_EQ(picture.height, 120);
}

// Rows handed to libjpeg as they lie in the mapped frame file: the last one ends where the file and
// its last page end, so that any read past it would fault.
TEST(JpegEncoder, LastRowAtTheEndOfAPageIsNotOverread) {
  TempFolder folder;
  for (auto [width, bits] : {std::pair{8, 24}, std::pair{64, 24}, std::pair{333, 32}, std::pair{40, 32}}) {
    BmpFixture fixture = Pattern24(width, 5);
    fixture.bits = static_cast<uint16_t>(bits);
    std::string bytes = MakeBmp(fixture);
    size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(bits / 8) * 5;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t gap = page - (54 + pixels) % page;
    bytes.insert(54, gap, '\0');
    PutLe32(bytes, 10, static_cast<uint32_t>(54 + gap));
    ASSERT_EQ(bytes.size() % page, 0u);
    std::string path = folder.path() + "/frame.bmp";
    WriteFileBytes(path, bytes);
    DecodedJpeg picture = DecodeJpeg(Encode(LoadFrameBitmap(path.c_str())));
    ASSERT_TRUE(picture.ok) << picture.error;
    EXPECT_PRED3(ColoursNear, picture.At(width - 1, 4), PatternRgb(width - 1, 4), 40)
        << width << "x5, " << bits;
  }
}

// A frame encoded for the last time gives back its rows as they are encoded; what was drawn into it
// is encoded all the same, in either row order, and the picture is the one a kept frame gives.
TEST(JpegEncoder, AFrameUsedUpEncodesAsAKeptOne) {
  TempFolder folder;
  for (bool flipped : {false, true}) {
    SCOPED_TRACE(flipped ? "top-down" : "bottom-up");
    BmpFixture fixture = Pattern24(640, 480);
    fixture.bits = 16;
    const std::string path = folder.path() + "/frame.bmp";
    WriteFileBytes(path, MakeBmp(fixture));
    FrameBitmap frame = LoadFrameBitmap(path.c_str());
    if (flipped) frame.ReverseRowOrder();
    for (int32_t y : {0, 1, 200, 478, 479}) std::memset(frame.Row(y), 0xFF, frame.stride());  // white rows
    const std::string kept = Encode(frame);
    const std::string used_up_path = folder.path() + "/used-up.jpg";
    EncodeJpegFile(std::move(frame), used_up_path.c_str());
    EXPECT_TRUE(ReadFileBytes(used_up_path) == kept);
    DecodedJpeg picture = DecodeJpeg(kept);
    ASSERT_TRUE(picture.ok) << picture.error;
    EXPECT_PRED3(ColoursNear, picture.At(320, 479), 0xFFFFFFu, 8);
  }
}

TEST(JpegEncoder, EmptyBitmapGivesEmptyFile) {
  TempFolder folder;
  std::string path = folder.path() + "/picture.jpg";
  WriteFileBytes(path, "an older picture");
  EncodeJpegFile(FrameBitmap{}, path.c_str());
  EXPECT_EQ(ReadFileBytes(path), "");
}

// Lowers the file size limit of this process while alive, so that writes come up short.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t previous_handler_;
};

std::string EncodeError(const FrameBitmap& frame, const std::string& path) {
  try {
    EncodeJpegFile(frame, path.c_str());
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

TEST(JpegEncoder, FailuresAreErrors) {
  TempFolder folder;
  FrameBitmap frame = Parse(MakeBmp(Pattern24(160, 120)));

  EXPECT_EQ(EncodeError(frame, "/dev/full"), "cannot write picture file: No space left on device");
  EXPECT_EQ(EncodeError(frame, folder.path() + "/missing/picture.jpg"),
            "cannot create picture file: No such file or directory");

  FrameBitmap too_tall = Parse(MakeBmp(Pattern24(1, JPEG_MAX_DIMENSION + 1)));
  EXPECT_EQ(EncodeError(too_tall, folder.path() + "/tall.jpg"),
            "JPEG error #" + std::to_string(JERR_IMAGE_TOO_BIG));
}

// A write that stores only part of the picture (here: the file size limit) is a failure, not a
// shorter picture.
TEST(JpegEncoder, ShortWriteIsAnError) {
  TempFolder folder;
  FrameBitmap frame = Parse(MakeBmp(Pattern24(160, 120)));
  std::string path = folder.path() + "/picture.jpg";
  std::string error;
  {
    FileSizeLimit limit(1000);
    error = EncodeError(frame, path);
  }
  EXPECT_EQ(error, "cannot write picture file: File too large");
  EXPECT_EQ(ReadFileBytes(path).size(), 1000u);
}

}  // namespace
