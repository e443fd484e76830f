// Motion-JPEG frames as webcams deliver them, whole and damaged, through the capture's own decoder.
#include "capture/mjpeg_frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/capture/webcam_frames.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 32;

const Bytes& Whole() {
  static const Bytes jpeg = WebcamJpeg(QuadrantRgb(kWidth, kHeight), kWidth, kHeight);
  return jpeg;
}

// The pixel at (x, y) of blue-green-red rows, as 0xRRGGBB.
uint32_t At(const Bytes& rows, int x, int y) {
  const uint8_t* pixel = &rows[(static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 3];
  return uint32_t{pixel[2]} << 16 | uint32_t{pixel[1]} << 8 | pixel[0];
}

bool Near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16})
    if (std::abs(static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF)) > 12)
      return false;
  return true;
}

struct GoodCase {
  const char* name;
  std::function<Bytes()> frame;
};

class WholeFrames : public testing::TestWithParam<GoodCase> {};

TEST_P(WholeFrames, DecodeToTheQuadrantsInBlueGreenRedOrder) {
  const Bytes frame = GetParam().frame();
  Bytes rows;
  std::string why;
  ASSERT_TRUE(DecodeMjpegFrame(frame.data(), frame.size(), kWidth, kHeight, rows, why)) << why;
  ASSERT_EQ(rows.size(), size_t{kWidth} * kHeight * 3);
  const int xs[] = {kWidth / 4, kWidth * 3 / 4}, ys[] = {kHeight / 4, kHeight * 3 / 4};
  for (int quadrant : {kTopLeft, kTopRight, kBottomLeft, kBottomRight}) {
    const uint32_t seen = At(rows, xs[quadrant % 2], ys[quadrant / 2]);
    EXPECT_TRUE(Near(seen, kQuadrantColours[quadrant]))
        << "quadrant " << quadrant << ": " << std::hex << seen;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WholeFrames,
    testing::Values(GoodCase{"AsUvcCamerasSendThem", [] { return Whole(); }},
                    GoodCase{"WithoutHuffmanTables", [] { return WithoutHuffmanTables(Whole()); }},
                    // Cameras hand over buffers padded after the end marker.
                    GoodCase{"PaddedAfterTheEnd",
                             [] {
                               Bytes padded = Whole();
                               padded.resize(padded.size() + 4096, 0);
                               return padded;
                             }}),
    [](const testing::TestParamInfo<GoodCase>& test) { return std::string(test.param.name); });

// A camera that offers only a large size: decoded at half or a quarter of it, as libv4l2 would give it.
TEST(ReducedFrames, DecodeToTheQuadrantsAtTheFraction) {
  for (unsigned reduction : {2u, 4u}) {
    Bytes rows;
    std::string why;
    ASSERT_TRUE(DecodeMjpegFrame(Whole().data(), Whole().size(), kWidth, kHeight, rows, why, reduction))
        << why;
    const int width = kWidth / static_cast<int>(reduction), height = kHeight / static_cast<int>(reduction);
    ASSERT_EQ(rows.size(), static_cast<size_t>(width * height * 3)) << reduction;
    const int xs[] = {width / 4, width * 3 / 4}, ys[] = {height / 4, height * 3 / 4};
    for (int quadrant : {kTopLeft, kTopRight, kBottomLeft, kBottomRight}) {
      const uint8_t* pixel = &rows[static_cast<size_t>((ys[quadrant / 2] * width + xs[quadrant % 2]) * 3)];
      const uint32_t seen = uint32_t{pixel[2]} << 16 | uint32_t{pixel[1]} << 8 | pixel[0];
      EXPECT_TRUE(Near(seen, kQuadrantColours[quadrant])) << reduction << ": quadrant " << quadrant;
    }
  }
}

struct DamageCase {
  const char* name;
  std::function<Bytes()> frame;
  const char* why;  // how the reason begins
};

class DamagedFrames : public testing::TestWithParam<DamageCase> {};

Bytes FirstBytes(size_t count) { return Bytes(Whole().begin(), Whole().begin() + static_cast<long>(count)); }

// Halfway through the entropy-coded data, after the start-of-scan segment.
size_t MiddleOfTheScan() {
  const Bytes& jpeg = Whole();
  for (size_t at = 2; at + 1 < jpeg.size(); ++at)
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA) {
      const size_t data = at + 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
      return data + (jpeg.size() - 2 - data) / 2;
    }
  return 0;
}

TEST_P(DamagedFrames, AreRefused) {
  const Bytes frame = GetParam().frame();
  Bytes rows;
  std::string why;
  EXPECT_FALSE(DecodeMjpegFrame(frame.data(), frame.size(), kWidth, kHeight, rows, why));
  EXPECT_EQ(why.rfind(GetParam().why, 0), 0u) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DamagedFrames,
    testing::Values(
        // Where libjpeg alone would fill the rest with grey and call it a picture.
        DamageCase{"CutInTheScan", [] { return FirstBytes(MiddleOfTheScan()); }, "damaged frame: "},
        DamageCase{"CutBeforeTheEndMarker", [] { return FirstBytes(Whole().size() - 2); }, "damaged frame: "},
        DamageCase{"CutInTheHeader", [] { return FirstBytes(100); }, "damaged frame: "},
        // A lost packet: the scan goes on with a marker where data should be.
        DamageCase{"MarkerInTheScan",
                   [] {
                     Bytes broken = Whole();
                     broken[MiddleOfTheScan()] = 0xFF;
                     broken[MiddleOfTheScan() + 1] = 0xD9;
                     return broken;
                   },
                   "damaged frame: "},
        DamageCase{"Empty", [] { return Bytes{}; }, "damaged frame: "},
        DamageCase{"NotAJpeg", [] { return Bytes(4000, 0x5A); }, "damaged frame: "},
        DamageCase{"AnotherSize",
                   [] { return WebcamJpeg(QuadrantRgb(kWidth / 2, kHeight), kWidth / 2, kHeight); },
                   "a frame of 32x32 in a stream of 64x32"}),
    [](const testing::TestParamInfo<DamageCase>& test) { return std::string(test.param.name); });

}  // namespace
