// stillcam against v4l2loopback devices in the qemu guest, fed by our producer the way USB webcams
// deliver frames: YUYV, and MJPEG with 4:2:2 sampling, with and without Huffman tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/capture/guest_run.h"
#include "tests/capture/webcam_frames.h"

namespace {

using LoopbackGuest = GuestTest;

// The mean colour of a 64x64 block around (x, y), as 0xRRGGBB.
uint32_t MeanColour(const DecodedJpeg& picture, int x, int y) {
  uint32_t sums[3] = {};
  for (int row = y - 32; row < y + 32; ++row)
    for (int column = x - 32; column < x + 32; ++column) {
      const uint32_t pixel = picture.At(column, row);
      for (int channel = 0; channel < 3; ++channel) sums[channel] += pixel >> (16 - 8 * channel) & 0xFF;
    }
  return (sums[0] / 4096) << 16 | (sums[1] / 4096) << 8 | sums[2] / 4096;
}

// Each quadrant in its own colour: a mirrored, upside-down or red-blue swapped picture fails here.
void ExpectQuadrants(const DecodedJpeg& picture, const std::string& name) {
  const int centres[][2] = {{1, 1}, {3, 1}, {1, 3}, {3, 3}};  // in quarters of the width and height
  for (int quadrant : {kTopLeft, kTopRight, kBottomLeft, kBottomRight}) {
    const uint32_t seen = MeanColour(picture, picture.width * centres[quadrant][0] / 4,
                                     picture.height * centres[quadrant][1] / 4);
    EXPECT_TRUE(ColoursNear(seen, kQuadrantColours[quadrant], 24))
        << name << ": quadrant " << quadrant << " is " << std::hex << seen << ", not "
        << kQuadrantColours[quadrant];
  }
}

// Pixels of the bottom-left corner that are not the quadrant's blue: the caption's text and rim.
int CaptionPixels(const DecodedJpeg& picture) {
  int marked = 0;
  for (int y = picture.height - 30; y < picture.height; ++y)
    for (int x = 0; x < std::min(200, picture.width / 2 - 8); ++x)
      marked += !ColoursNear(picture.At(x, y), kQuadrantColours[kBottomLeft], 48);
  return marked;
}

struct FeedCase {
  const char* run;  // the guest's name for the request, which says what the producer sends
  int width;        // the producer sends 640x480; libv4l2 halves it for a request of half that size
  int height;
  bool caption;
};

void PrintTo(const FeedCase& c, std::ostream* out) { *out << c.run; }

class LoopbackFeeds : public LoopbackGuest, public testing::WithParamInterface<FeedCase> {};

TEST_P(LoopbackFeeds, AWebcamFormatComesBackWholeAndTheRightWayRound) {
  const FeedCase& c = GetParam();
  DecodedJpeg picture = Picture(c.run);
  ASSERT_TRUE(picture.ok) << c.run << ": " << picture.error << "\nproducer: " << Result("producer.err");
  EXPECT_EQ(picture.width, c.width) << c.run;
  EXPECT_EQ(picture.height, c.height) << c.run;
  ExpectQuadrants(picture, c.run);
  if (c.caption) {
    EXPECT_GT(CaptionPixels(picture), 200) << c.run << ": no caption";
  } else {
    EXPECT_EQ(CaptionPixels(picture), 0) << c.run << ": the bottom-left corner is not the frame's";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, LoopbackFeeds,
    testing::Values(FeedCase{"loopback_yuyv_large_caption", 640, 480, true},
                    FeedCase{"loopback_yuyv_medium", 320, 240, false},
                    FeedCase{"loopback_mjpeg", 640, 480, false},
                    FeedCase{"loopback_mjpeg_medium", 320, 240, false},
                    FeedCase{"loopback_mjpeg_no_dht", 640, 480, false},
                    // Every other frame cut short and not flagged, taken at once, after one frame and
                    // after the usual warm-up: the cut ones are passed over, whichever comes first.
                    FeedCase{"loopback_cut_alternate_at_once", 640, 480, false},
                    FeedCase{"loopback_cut_alternate_after_one", 640, 480, false},
                    FeedCase{"loopback_cut_alternate", 640, 480, false}),
    [](const testing::TestParamInfo<FeedCase>& test) { return std::string(test.param.run); });

struct SilentCase {
  const char* run;
  const char* why;  // how the one line asked for with STILLCAM_VERBOSE begins
};

void PrintTo(const SilentCase& c, std::ostream* out) { *out << c.run; }

class LoopbackSilent : public LoopbackGuest, public testing::WithParamInterface<SilentCase> {};

TEST_P(LoopbackSilent, IsAQuietFailureWithinTheFrameTimeout) {
  const SilentCase& c = GetParam();
  const std::string err = QuietFailure(c.run);
  EXPECT_EQ(err.rfind(c.why, 0), 0u) << c.run << ": " << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << c.run << ": " << err;
  // 5 s of waiting, and slack for the emulated machine: a request that waits on and on shows here.
  EXPECT_LT(std::stoi(Result(std::string(c.run) + ".ms")), 10000) << c.run;
}

INSTANTIATE_TEST_SUITE_P(
    Producers, LoopbackSilent,
    testing::Values(
        // It hands over the frame it has, and the warm-up then waits for frames that never come.
        SilentCase{"loopback_stopped", "stillcam: /dev/video11: no frame within 5000 ms"},
        // Every frame cut short: nothing whole to serve.
        SilentCase{"loopback_cut",
                   "stillcam: /dev/video14: only damaged frames within 5000 ms; the last: damaged frame: "},
        // Without a producer the device has no capture side.
        SilentCase{"loopback_no_producer", "stillcam: /dev/video15: "}),
    [](const testing::TestParamInfo<SilentCase>& test) { return std::string(test.param.run); });

}  // namespace
