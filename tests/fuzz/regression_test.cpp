// Replays the fuzzers' seed corpus and every kept finding through the parsers, so that a mended
// fault stays mended in the ordinary (and the sanitized) test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "capture/mjpeg_frame.h"
#include "cgi/request_options.h"
#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "tests/support/process_runner.h"

namespace {

std::vector<std::filesystem::path> FilesIn(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code missing;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(STILLCAM_SOURCE_DIR) + folder, missing)) {
    if (entry.is_regular_file() && entry.path().filename() != "README.md") files.push_back(entry.path());
  }
  return files;
}

// The frame must be whole (every pixel of every row inside the buffer) and must encode, or be
// refused by the encoder with a message, as the fuzzer demands.
void ExpectWholeFrame(const FrameBitmap& frame, const std::string& name) {
  SCOPED_TRACE(name);
  if (frame.empty()) return;
  uint32_t sink = 0;
  for (int32_t y = 0; y < frame.height(); ++y) {
    for (int32_t x = 0; x < frame.width(); ++x) sink ^= frame.RgbAt(x, y);
  }
  (void)sink;
  TempFolder tmp;
  try {
    EncodeJpegFile(frame, (tmp.path() + "/picture.jpg").c_str());
  } catch (const std::exception&) {
    // refused with a message: the designed way
  }
}

TEST(FuzzRegressions, BmpSeedsLoad) {
  // Seeds the loader refuses would start every fuzzing run on the error paths only.
  std::vector<std::filesystem::path> seeds = FilesIn("/tests/fuzz/corpus/bmp");
  ASSERT_FALSE(seeds.empty());
  for (const auto& seed : seeds) {
    std::string bytes = ReadFileBytes(seed);
    try {
      ExpectWholeFrame(ParseFrameBitmap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), seed);
    } catch (const std::exception& refused) {
      ADD_FAILURE() << seed << " refused: " << refused.what();
    }
  }
}

// What each kept input must give: "loads" (and encodes), or the words its refusal must contain.
struct KeptInput {
  const char* name;
  const char* outcome;
};

constexpr KeptInput kBmpFindings[] = {
    {"encoder-24bit-top-down-null-scratch.bmp", "loads"},
    {"hostile-bitfields-24-bit.bmp", "unsupported BMP depth of 24 bits"},
    {"hostile-bitfields-gappy.bmp", "masks are unusable"},
    {"hostile-bitfields-masks-cut.bmp", "masks do not fit"},
    {"hostile-bitfields-overlap.bmp", "masks are unusable"},
    {"hostile-bitfields-wider-than-pixel.bmp", "masks are unusable"},
    {"hostile-bitfields-zero-mask.bmp", "masks are unusable"},
    {"hostile-bits-65535.bmp", "unsupported BMP depth of 65535 bits"},
    {"hostile-bits-7.bmp", "unsupported BMP depth of 7 bits"},
    {"hostile-bits-zero.bmp", "unsupported BMP depth of 0 bits"},
    {"hostile-colour-table-count-huge.bmp", "colour table of 4294967295 entries"},
    {"hostile-colour-table-cut.bmp", "colour table does not fit"},
    {"hostile-colour-table-too-many.bmp", "colour table of 257 entries"},
    {"hostile-compression-huge.bmp", "unsupported BMP compression"},
    {"hostile-dimensions-65536-square.bmp", "too large"},
    {"hostile-dimensions-huge.bmp", "too large"},
    {"hostile-embedded-jpeg.bmp", "embedded JPEG or PNG"},
    {"hostile-header-cut.bmp", "truncated BMP header"},
    {"hostile-height-int-min.bmp", "height out of range"},
    {"hostile-info-size-12.bmp", "unsupported BMP header size 12"},
    {"hostile-info-size-huge.bmp", "unsupported BMP header size"},
    {"hostile-magic-only.bmp", "truncated BMP header"},
    {"hostile-pixel-offset-in-header.bmp", "does not fit before the pixel data"},
    {"hostile-pixel-offset-past-end.bmp", "truncated BMP pixel data"},
    {"hostile-pixels-cut.bmp", "truncated BMP pixel data"},
    {"hostile-planes-zero.bmp", "bad BMP plane count 0"},
    {"hostile-png-signature.bmp", "not a BMP file"},
    {"hostile-rle8.bmp", "RLE-compressed BMP is not supported"},
    {"hostile-text.bmp", "not a BMP file"},
    {"hostile-width-negative.bmp", "width is negative"},
};

TEST(FuzzRegressions, BmpFindingsGiveTheirOutcome) {
  std::vector<std::filesystem::path> kept = FilesIn("/tests/fuzz/regressions/bmp");
  EXPECT_EQ(kept.size(), std::size(kBmpFindings)) << "a kept input without an expected outcome, or one gone";
  for (const KeptInput& input : kBmpFindings) {
    SCOPED_TRACE(input.name);
    std::string bytes =
        ReadFileBytes(std::string(STILLCAM_SOURCE_DIR) + "/tests/fuzz/regressions/bmp/" + input.name);
    ASSERT_FALSE(bytes.empty());
    try {
      FrameBitmap frame = ParseFrameBitmap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      EXPECT_EQ(std::string(input.outcome), "loads") << "loaded";
      ExpectWholeFrame(frame, input.name);
    } catch (const std::exception& refused) {
      EXPECT_NE(std::string(refused.what()).find(input.outcome), std::string::npos) << refused.what();
    }
  }
}

TEST(FuzzRegressions, QueriesGiveOneOfTheThreeSizes) {
  std::vector<std::filesystem::path> inputs = FilesIn("/tests/fuzz/corpus/query");
  for (const auto& finding : FilesIn("/tests/fuzz/regressions/query")) inputs.push_back(finding);
  for (const auto& input : inputs) {
    std::string query = ReadFileBytes(input);
    SnapshotOptions options = ParseQuery(query.c_str());
    bool known_size = (options.frame_width == 160 && options.frame_height == 120) ||
                      (options.frame_width == 320 && options.frame_height == 240) ||
                      (options.frame_width == 640 && options.frame_height == 480);
    EXPECT_TRUE(known_size) << input;
    EXPECT_TRUE(options.caption || !options.bold) << input;
  }
}

// The seeds must decode, or fuzzing would start on the refusal paths only; kept findings are refused
// with a reason or decoded whole.
TEST(FuzzRegressions, MjpegSeedsDecodeAndFindingsAreRefusedOrWhole) {
  std::vector<std::filesystem::path> seeds = FilesIn("/tests/fuzz/corpus/mjpeg");
  ASSERT_FALSE(seeds.empty());
  std::vector<std::filesystem::path> inputs = seeds;
  for (const auto& finding : FilesIn("/tests/fuzz/regressions/mjpeg")) inputs.push_back(finding);
  for (const auto& input : inputs) {
    const std::string bytes = ReadFileBytes(input);
    if (bytes.size() < 4) continue;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint32_t width = (data[0] | data[1] << 8) % 1025, height = (data[2] | data[3] << 8) % 1025;
    std::vector<uint8_t> rows;
    std::string why;
    const bool decoded = DecodeMjpegFrame(data + 4, bytes.size() - 4, width, height, rows, why);
    const bool seed = std::find(seeds.begin(), seeds.end(), input) != seeds.end();
    if (seed) {
      EXPECT_TRUE(decoded) << input << ": " << why;
    }
    if (decoded) {
      EXPECT_EQ(rows.size(), size_t{width} * height * 3) << input;
    } else {
      EXPECT_FALSE(why.empty()) << input;
    }
  }
}

}  // namespace
