// stillcam against a real kernel camera: the vivid driver in the qemu guest.
#include <gtest/gtest.h>

#include <string>

#include "tests/capture/guest_run.h"

namespace {

using VividGuest = GuestTest;

// vivid's webcam input draws 75% colour bars, left to right, under a few lines of text at the top left.
void ExpectVividColourBars(const DecodedJpeg& picture, const std::string& name) {
  const uint32_t bars[] = {0xBFBFBF, 0xBFBF00, 0x00BFBF, 0x00BF00, 0xBF00BF, 0xBF0000, 0x0000BF, 0x000000};
  for (int bar = 0; bar < 8; ++bar) {
    const int x = picture.width * (2 * bar + 1) / 16;
    const uint32_t seen = picture.At(x, 2);
    EXPECT_TRUE(ColoursNear(seen, bars[bar], 32)) << name << ": bar " << bar << " is " << std::hex << seen;
  }
}

// Dark pixels in the rows [from_row, to_row) of the leftmost bar, which is white.
int DarkInWhiteBar(const DecodedJpeg& picture, int from_row, int to_row) {
  int dark = 0;
  for (int y = from_row; y < to_row; ++y)
    for (int x = 0; x < picture.width / 8; ++x) dark += (picture.At(x, y) & 0xFF) < 0x60;
  return dark;
}

// The text is in the upper part and the bars run clear to the bottom: a picture upside down shows it.
void ExpectTextAtTheTop(const DecodedJpeg& picture, const std::string& name) {
  EXPECT_GT(DarkInWhiteBar(picture, 0, picture.height / 2), picture.width / 8) << name;
  EXPECT_EQ(DarkInWhiteBar(picture, picture.height * 7 / 8, picture.height), 0) << name;
}

struct SizeCase {
  const char* run;  // the guest's name for the request
  bool caption;
  int width;  // what vivid delivers for the request; it offers 320x180 and 640x480 but no 160x120 or 320x240
  int height;
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.run; }

class VividSizes : public VividGuest, public testing::WithParamInterface<SizeCase> {};

TEST_P(VividSizes, EverySizeComesBackAsVividDeliversIt) {
  const SizeCase& c = GetParam();
  DecodedJpeg picture = Picture(c.run);
  ASSERT_TRUE(picture.ok) << c.run << ": " << picture.error;
  EXPECT_EQ(picture.width, c.width) << c.run;
  EXPECT_EQ(picture.height, c.height) << c.run;
  ExpectVividColourBars(picture, c.run);
  if (!c.caption) ExpectTextAtTheTop(picture, c.run);
  // The caption goes by the requested height: at the bottom when vivid delivered that height.
  if (c.caption && c.height == 480) {
    EXPECT_GT(DarkInWhiteBar(picture, picture.height - 30, picture.height), 50) << c.run << ": no caption";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, VividSizes,
    testing::Values(SizeCase{"small", false, 320, 180}, SizeCase{"small_caption", true, 320, 180},
                    SizeCase{"medium", false, 320, 180}, SizeCase{"medium_caption", true, 320, 180},
                    SizeCase{"large", false, 640, 480}, SizeCase{"large_caption", true, 640, 480},
                    SizeCase{"large_no_warm_up", false, 640, 480}),
    [](const testing::TestParamInfo<SizeCase>& test) { return std::string(test.param.run); });

TEST_F(VividGuest, ThreeSimultaneousRequestsTakeTurnsAndAllSucceed) {
  const struct {
    const char* run;
    int width;
  } together[] = {{"together1", 640}, {"together2", 320}, {"together3", 320}};
  for (const auto& request : together) {
    DecodedJpeg picture = Picture(request.run);
    ASSERT_TRUE(picture.ok) << request.run << ": " << picture.error;
    EXPECT_EQ(picture.width, request.width) << request.run;
    ExpectVividColourBars(picture, request.run);
  }
}

TEST_F(VividGuest, AFailingStreamStartIsQuietAndLeavesNothing) {
  ASSERT_EQ(Result("streamon_error.ctl"), "");
  // Asked to say why: one line of its own, none of libv4l2's.
  std::string err = QuietFailure("streamon_error");
  EXPECT_EQ(err.rfind("stillcam: /dev/video0: VIDIOC_STREAMON", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST_F(VividGuest, AnotherProgramStreamingIsAQuietFailure) {
  std::string err = QuietFailure("busy_elsewhere");
  EXPECT_EQ(err.rfind("stillcam: /dev/video0: busy", 0), 0u) << err;
}

TEST_F(VividGuest, AFlaggedBufferIsPassedOverForTheNextGoodFrame) {
  ASSERT_EQ(Result("buf_flag_error.ctl"), "");
  DecodedJpeg picture = Picture("buf_flag_error");
  ASSERT_TRUE(picture.ok) << picture.error;
  ExpectVividColourBars(picture, "buf_flag_error");
}

}  // namespace
