// stillcam against a real kernel camera: the vivid driver in the qemu guest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cgi/cgi_response.h"
#include "tests/capture/guest_run.h"

namespace {

using VividGuest = GuestTest;

// vivid's webcam input draws 75% colour bars, left to right, under a few lines of text at the top left.
// Mirrored: right to left.
void ExpectVividColourBars(const DecodedJpeg& picture, const std::string& name, bool mirrored = false) {
  const uint32_t bars[] = {0xBFBFBF, 0xBFBF00, 0x00BFBF, 0x00BF00, 0xBF00BF, 0xBF0000, 0x0000BF, 0x000000};
  for (int bar = 0; bar < 8; ++bar) {
    const int x = picture.width * (2 * bar + 1) / 16;
    const uint32_t seen = picture.At(x, 2);
    EXPECT_TRUE(ColoursNear(seen, bars[mirrored ? 7 - bar : bar], 32))
        << name << ": bar " << bar << " is " << std::hex << seen;
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

// --- Sharing between simultaneous requests (begin) ---

#ifdef STILLCAM_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Requests of the guest's batches (its `together`), all at once in one TMPDIR.
class VividSharing : public VividGuest {
 protected:
  void SetUp() override {
    VividGuest::SetUp();
    // Under the sanitizers a dozen processes take half a minute to start on the guest's one emulated
    // core and run into the 10 s wait for the camera; the guest leaves the batches out.
    if (kSanitized) GTEST_SKIP() << "sanitized build: the batches run in the plain build";
  }

  // The answers of batch NAME, each checked to have ended well, said nothing and be a whole response;
  // an empty string for an answer that is not.
  static std::vector<std::string> BatchAnswers(const std::string& name, int count) {
    std::vector<std::string> answers;
    for (int i = 1; i <= count; ++i) {
      const std::string request = name + "." + std::to_string(i);
      const std::string out = Result(request + ".out");
      const bool whole = Result(request + ".status") == "0\n" && Result(request + ".err").empty() &&
                         out.starts_with(kResponseHeader) && out.ends_with("\xFF\xD9");
      EXPECT_TRUE(whole) << request << ": status " << Result(request + ".status") << ", "
                         << Result(request + ".err") << out.size() << " bytes";
      answers.push_back(whole ? out.substr(kResponseHeaderSize) : "");
    }
    return answers;
  }

  static size_t Distinct(const std::vector<std::string>& answers) {
    return std::set<std::string>(answers.begin(), answers.end()).size();
  }

  static int Milliseconds(const std::string& name) { return std::stoi(Result(name + ".ms")); }
};

TEST_F(VividSharing, TwelveSimultaneousRequestsShareAFewCaptures) {
  const std::vector<std::string> shared = BatchAnswers("share_on", 12);
  for (size_t i = 0; i < shared.size(); ++i) {
    DecodedJpeg picture = DecodeJpeg(shared[i]);
    ASSERT_TRUE(picture.ok) << "request " << i + 1 << ": " << picture.error;
    EXPECT_EQ(picture.width, 640);
    EXPECT_EQ(picture.height, 480);
    ExpectVividColourBars(picture, "share_on." + std::to_string(i + 1));
  }
  int unshared_answered = 0;
  for (int i = 1; i <= 12; ++i) {
    const std::string out = Result("share_off." + std::to_string(i) + ".out");
    unshared_answered += DecodeJpeg(out.substr(std::min(out.size(), kResponseHeaderSize))).ok;
  }
  const int one = std::max(Milliseconds("share_single"), Milliseconds("share_single_again"));
  const int processes = Milliseconds("share_processes");
  std::printf(
      "under TCG: one large&timestamp request %d and %d ms; 12 at once %d ms with sharing (%zu distinct "
      "answers), %d ms with STILLCAM_SHARE=0 (%d of 12 answered); 12 runs of the test source %d ms\n",
      Milliseconds("share_single"), Milliseconds("share_single_again"), Milliseconds("share_on"),
      Distinct(shared), Milliseconds("share_off"), unshared_answered, processes);
  // At most about two captures: the one the requests waited for, and one for those that started after
  // its frame was taken; on top, what a dozen processes cost on the guest's one emulated core (a few
  // milliseconds each on a real machine). Taking turns costs a capture per request.
  EXPECT_LE(Milliseconds("share_on"), 3 * one + processes);
  EXPECT_LT(Milliseconds("share_on"), Milliseconds("share_off"));
  EXPECT_LE(Distinct(shared), 3u);

  // What the batch kept: one picture in a folder of this user alone; no run file.
  EXPECT_EQ(Result("share_on.left"), "stillcam-share-0\n");
  EXPECT_EQ(Result("share_on.folder").rfind("drwx------", 0), 0u) << Result("share_on.folder");
  EXPECT_EQ(Result("share_on.kept").rfind("picture-", 0), 0u) << Result("share_on.kept");
  const std::string kept = Result("share_on.kept");
  EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 1) << kept;
}

TEST_F(VividSharing, WithAMovingPictureSharingGivesFewPicturesAndNeverAnOldOne) {
  ASSERT_EQ(Result("share_movement.ctl"), "");
  const std::vector<std::string> moving = BatchAnswers("share_moving", 12);
  std::printf("12 simultaneous requests of a moving picture got %zu distinct pictures\n", Distinct(moving));
  EXPECT_LE(Distinct(moving), 3u);
  // A request 1.5 s after another is no longer waiting for it: it gets a frame of its own.
  const std::string before = BatchAnswers("share_apart1", 1)[0];
  const std::string after = BatchAnswers("share_apart2", 1)[0];
  EXPECT_TRUE(DecodeJpeg(after).ok);
  EXPECT_NE(before, after);
}

TEST_F(VividSharing, SimultaneousRequestsOfDifferentSizesEachGetTheirOwn) {
  const std::vector<std::string> answers = BatchAnswers("share_sizes", 9);
  for (size_t i = 0; i < answers.size(); ++i) {
    DecodedJpeg picture = DecodeJpeg(answers[i]);
    ASSERT_TRUE(picture.ok) << "request " << i + 1 << ": " << picture.error;
    // The batch asks large, medium and small in turn; vivid gives 320x180 for the two smaller sizes.
    const bool large = i % 3 == 0;
    EXPECT_EQ(picture.width, large ? 640 : 320) << "request " << i + 1;
    EXPECT_EQ(picture.height, large ? 480 : 180) << "request " << i + 1;
  }
  // Medium and small look alike but are captioned at another height: never the same picture.
  for (size_t i = 1; i + 1 < answers.size(); i += 3) EXPECT_NE(answers[i], answers[i + 1]);
}

// --- Sharing between simultaneous requests (end) ---

// The mean level of vivid's white bar below its text, 0 to 255.
int WhiteBarLevel(const DecodedJpeg& picture) {
  long sum = 0, count = 0;
  for (int y = picture.height / 2; y < picture.height * 7 / 8; ++y)
    for (int x = 0; x < picture.width / 8; ++x, ++count) {
      const uint32_t pixel = picture.At(x, y);
      sum += ((pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF)) / 3;
    }
  return count == 0 ? 0 : static_cast<int>(sum / count);
}

TEST_F(VividGuest, ControlsAreSetBeforeTheStreamStarts) {
  DecodedJpeg dark = Picture("controls_dark");
  DecodedJpeg normal = Picture("controls_default");
  ASSERT_TRUE(dark.ok && normal.ok) << dark.error << normal.error;
  ExpectVividColourBars(normal, "controls_default");
  EXPECT_LT(WhiteBarLevel(dark) + 50, WhiteBarLevel(normal))
      << "brightness=40 gives " << WhiteBarLevel(dark) << ", brightness=128 gives " << WhiteBarLevel(normal);
}

// A name the camera does not have, a read-only control, a menu item the driver refuses and a value out
// of range: one line each, in order; the rest is still applied (a 64-bit value and the brightness
// after them), and the picture is served.
TEST_F(VividGuest, RefusedControlsAreReportedOneLineEachAndTheRestStillApplied) {
  DecodedJpeg picture = Picture("controls_refused",
                                "stillcam: control no_such_control: the camera has no control of that name\n"
                                "stillcam: control read_only_integer_32_bits: read-only\n"
                                "stillcam: control menu: 2 refused: Invalid argument\n"
                                "stillcam: control brightness: 1000 is outside 0 to 255\n");
  ASSERT_TRUE(picture.ok) << picture.error;
  DecodedJpeg normal = Picture("controls_default");
  EXPECT_LT(WhiteBarLevel(picture) + 50, WhiteBarLevel(normal)) << "brightness=40 was not applied";
  EXPECT_EQ(Result("controls_refused.int64"), "integer_64_bits: 9000000000\n");
}

// A camera mounted mirrored or upside down: vivid's text (top left over the white bar) and its bars
// show the turn; the caption still goes bottom left (its uprightness is checked with the test source).
struct FlipCase {
  const char* run;
  bool mirrored;
  bool upside_down;
  bool caption;  // then the bottom-left bar is the black one, where the caption's light text shows
};

void PrintTo(const FlipCase& c, std::ostream* out) { *out << c.run; }

class VividFlip : public VividGuest, public testing::WithParamInterface<FlipCase> {};

// Dark pixels over the white bar, wherever the turn put it, in rows [from_row, to_row).
int DarkOverTheWhiteBar(const DecodedJpeg& picture, bool mirrored, int from_row, int to_row) {
  int dark = 0;
  const int first = mirrored ? picture.width * 7 / 8 : 0;
  for (int y = from_row; y < to_row; ++y)
    for (int x = first; x < first + picture.width / 8; ++x) dark += (picture.At(x, y) & 0xFF) < 0x60;
  return dark;
}

TEST_P(VividFlip, TurnsThePictureAndNotTheCaption) {
  const FlipCase& c = GetParam();
  DecodedJpeg picture = Picture(c.run);
  ASSERT_TRUE(picture.ok) << picture.error;
  ASSERT_EQ(picture.width, 640);
  ASSERT_EQ(picture.height, 480);
  ExpectVividColourBars(picture, c.run, c.mirrored);
  const int top = DarkOverTheWhiteBar(picture, c.mirrored, 0, 120);
  const int bottom = DarkOverTheWhiteBar(picture, c.mirrored, 360, 480);
  EXPECT_GT(c.upside_down ? bottom : top, 80) << c.run << ": vivid's text is not where the turn puts it";
  EXPECT_EQ(c.upside_down ? top : bottom, 0) << c.run;
  if (!c.caption) return;
  int caption = 0;
  for (int y = 450; y < 480; ++y)
    for (int x = 0; x < 80; ++x) caption += ColoursNear(picture.At(x, y), 0xCCCCCC, 24);
  EXPECT_GT(caption, 30) << c.run << ": no caption bottom left";
}

INSTANTIATE_TEST_SUITE_P(Mounts, VividFlip,
                         testing::Values(FlipCase{"flip_h", true, false, false},
                                         FlipCase{"flip_v", false, true, false},
                                         FlipCase{"flip_hv_caption", true, true, true}),
                         [](const testing::TestParamInfo<FlipCase>& test) {
                           return std::string(test.param.run);
                         });

}  // namespace
