// The V4L2 source against a fake camera behind its seam: format negotiation, warm-up, the error
// paths, the lock, and that every handle is given back on every path.
#include "capture/v4l2_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "base/platform.h"
#include "imaging/bmp_reader.h"
#include "tests/capture/fake_camera.h"
#include "tests/support/process_runner.h"

namespace {

constexpr V4l2Timeouts kShortWaits{200, 300};

BitmapInfoHeader Request(int32_t width, int32_t height) {
  BitmapInfoHeader header{};
  header.biSize = 40;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 16;
  return header;
}

class V4l2SourceTest : public testing::Test {
 protected:
  V4l2SourceTest() : node_(folder_.path() + "/video0"), frame_path_(folder_.path() + "/frame.bmp") {
    WriteFileBytes(node_, "");
  }

  // Connects, asks for width x height, grabs and saves; the source is gone afterwards.
  bool TakeFrame(int32_t width, int32_t height, int warm_up = 0, V4l2Timeouts waits = kShortWaits) {
    V4l2Source source(camera_, node_, waits, warm_up, failure_);
    bool taken = source.Connect();
    if (taken) {
      source.SetFormat(Request(width, height));
      taken = source.Grab() && source.SaveFrame(frame_path_.c_str());
    }
    return taken;
  }

  // Nothing held: no descriptor, no mapping, no stream, no buffers.
  void ExpectEverythingGivenBack() {
    EXPECT_EQ(camera_.open_fds, 0);
    EXPECT_EQ(camera_.mapped, 0);
    EXPECT_FALSE(camera_.streaming);
    EXPECT_TRUE(camera_.buffers_freed);
  }

  TempFolder folder_;
  std::string node_;
  std::string frame_path_;
  FakeCamera camera_;
  std::string failure_;
};

struct NegotiationCase {
  const char* name;
  std::vector<v4l2_fmtdesc> offered;
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  uint32_t expect_asked;
  int expect_width;
  int expect_height;
  int expect_bits;
};

void PrintTo(const NegotiationCase& c, std::ostream* out) { *out << c.name; }

class Negotiation : public V4l2SourceTest, public testing::WithParamInterface<NegotiationCase> {};

TEST_P(Negotiation, TheFrameFileHoldsWhatTheDeviceDelivered) {
  const NegotiationCase& c = GetParam();
  camera_.formats = c.offered;
  camera_.sizes = c.sizes;
  camera_.script = {{FakeCamera::Step::kFrame, 0x55}};
  ASSERT_TRUE(TakeFrame(320, 240)) << failure_;
  EXPECT_EQ(camera_.asked.pixelformat, c.expect_asked);
  EXPECT_EQ(camera_.asked.width, 320u);
  EXPECT_EQ(camera_.asked.height, 240u);

  FrameBitmap frame = LoadFrameBitmap(frame_path_.c_str());
  EXPECT_EQ(frame.width(), c.expect_width);
  EXPECT_EQ(frame.height(), c.expect_height);
  EXPECT_EQ(frame.format().bits_per_pixel(), c.expect_bits);
  // The device's rows come top first; the file must keep the top at the top and red as red.
  EXPECT_EQ(frame.RgbAt(0, 0), kFakeTopColour);
  EXPECT_EQ(frame.RgbAt(frame.width() - 1, frame.height() - 1), kFakeBottomColour);
  ExpectEverythingGivenBack();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Negotiation,
    testing::Values(
        NegotiationCase{"NativeRgb555IsTaken",
                        {FakeCamera::Format(V4L2_PIX_FMT_YUYV), FakeCamera::Format(V4L2_PIX_FMT_RGB555)},
                        {},
                        V4L2_PIX_FMT_RGB555,
                        320,
                        240,
                        16},
        NegotiationCase{"OtherwiseBgr24",
                        {FakeCamera::Format(V4L2_PIX_FMT_YUYV), FakeCamera::Format(V4L2_PIX_FMT_MJPEG)},
                        {},
                        V4L2_PIX_FMT_BGR24,
                        320,
                        240,
                        24},
        NegotiationCase{"EmulatedRgb555IsNotNative",
                        {FakeCamera::Format(V4L2_PIX_FMT_YUYV),
                         FakeCamera::Format(V4L2_PIX_FMT_RGB555, V4L2_FMT_FLAG_EMULATED)},
                        {},
                        V4L2_PIX_FMT_BGR24,
                        320,
                        240,
                        24},
        NegotiationCase{"SizeAdjustedByTheDevice",
                        {FakeCamera::Format(V4L2_PIX_FMT_RGB555)},
                        {{320, 180}, {640, 480}},
                        V4L2_PIX_FMT_RGB555,
                        320,
                        180,
                        16},
        NegotiationCase{"OddWidthNeedsPadding",
                        {FakeCamera::Format(V4L2_PIX_FMT_BGR24)},
                        {{175, 143}},
                        V4L2_PIX_FMT_BGR24,
                        175,
                        143,
                        24}),
    [](const testing::TestParamInfo<NegotiationCase>& test) { return std::string(test.param.name); });

TEST_F(V4l2SourceTest, ARefusedFormatRequestLeavesTheDevicesOwnFormat) {
  camera_.s_fmt_errno = EINVAL;  // stays at 640x480 BGR24
  camera_.script = {{FakeCamera::Step::kFrame, 0}};
  ASSERT_TRUE(TakeFrame(160, 120)) << failure_;
  FrameBitmap frame = LoadFrameBitmap(frame_path_.c_str());
  EXPECT_EQ(frame.width(), 640);
  EXPECT_EQ(frame.height(), 480);
  EXPECT_EQ(frame.format().bits_per_pixel(), 24);
}

TEST_F(V4l2SourceTest, AFormatThatCannotBeStoredIsAFailedGrab) {
  camera_.accepted_formats = {V4L2_PIX_FMT_YUYV};  // as a device without libv4l2's conversion would answer
  camera_.current.pixelformat = V4L2_PIX_FMT_YUYV;
  camera_.script = {{FakeCamera::Step::kFrame, 0}};
  EXPECT_FALSE(TakeFrame(320, 240));
  EXPECT_NE(failure_.find("YUYV"), std::string::npos) << failure_;
  EXPECT_EQ(access(frame_path_.c_str(), F_OK), -1);
  ExpectEverythingGivenBack();
}

TEST_F(V4l2SourceTest, AsksForTheFastestFrameRateOffered) {
  struct {
    std::vector<v4l2_fract> discrete;
    v4l2_fract stepwise_min;
    v4l2_fract current;
    bool expect_set;
    v4l2_fract expect;
  } cases[] = {
      {{{1, 5}, {1, 30}, {1, 15}}, {}, {1, 5}, true, {1, 30}},
      {{}, {1, 60}, {1, 10}, true, {1, 60}},
      {{{1, 15}}, {}, {1, 30}, false, {1, 30}},  // never slower than it already is
      {{}, {}, {1, 2}, true, {1, 30}},           // nothing listed: 30 a second, the device adjusts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases) + ": from 1/" + std::to_string(c.current.denominator));
    FakeCamera camera;
    camera.intervals = c.discrete;
    camera.stepwise_min = c.stepwise_min;
    camera.rate = c.current;
    V4l2Source source(camera, node_, kShortWaits, 0, failure_);
    ASSERT_TRUE(source.Connect()) << source.failure();
    source.SetFormat(Request(320, 240));
    EXPECT_EQ(camera.rate_set, c.expect_set);
    EXPECT_EQ(camera.rate.numerator, c.expect.numerator);
    EXPECT_EQ(camera.rate.denominator, c.expect.denominator);
  }
}

TEST_F(V4l2SourceTest, WarmUpFramesAreThrownAwayAndBadBuffersDoNotCount) {
  using Step = FakeCamera::Step;
  camera_.script = {{Step::kFrame, 1}, {Step::kFlaggedFrame, 2}, {Step::kFrame, 3}, {Step::kShortFrame, 4},
                    {Step::kFrame, 5}, {Step::kFrame, 6},        {Step::kFrame, 7}};
  ASSERT_TRUE(TakeFrame(64, 48, 3)) << failure_;
  FrameBitmap frame = LoadFrameBitmap(frame_path_.c_str());
  EXPECT_EQ(frame.Row(24)[0], 6) << "the fourth good frame, after three thrown away";
  EXPECT_EQ(camera_.dequeued, 6);
  ExpectEverythingGivenBack();
}

TEST_F(V4l2SourceTest, FailuresAreQuietAndGiveEverythingBack) {
  using Step = FakeCamera::Step;
  struct Case {
    const char* name;
    void (*arrange)(FakeCamera&);
    const char* says;
  } cases[] = {
      {"buffers busy", [](FakeCamera& c) { c.reqbufs_errno = EBUSY; }, "another program is streaming"},
      {"streaming elsewhere",  // the device keeps another program's format, which needs conversion
       [](FakeCamera& c) {
         c.s_fmt_errno = EBUSY;
         c.current.pixelformat = V4L2_PIX_FMT_YUYV;
       },
       "another program is streaming"},
      {"stream refused", [](FakeCamera& c) { c.streamon_errno = EIO; }, "VIDIOC_STREAMON"},
      {"silent", [](FakeCamera&) {}, "no frame within 200 ms"},
      {"only flagged buffers",
       [](FakeCamera& c) {
         c.script.assign(50, {Step::kFlaggedFrame, 0});
       },
       "no frame within"},
      {"warm-up then silence",
       [](FakeCamera& c) {
         c.script = {{Step::kFrame, 0}, {Step::kSilence, 0}};
       },
       "no frame within"},
      {"unplugged",
       [](FakeCamera& c) {
         c.script = {{Step::kFrame, 0}, {Step::kGone, 0}};
       },
       "went away"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    camera_ = FakeCamera();
    c.arrange(camera_);
    EXPECT_FALSE(TakeFrame(160, 120, 1));
    EXPECT_NE(failure_.find(c.says), std::string::npos) << failure_;
    EXPECT_EQ(access(frame_path_.c_str(), F_OK), -1);
    ExpectEverythingGivenBack();
  }
}

TEST_F(V4l2SourceTest, ConnectRefusesWhatCannotStreamVideo) {
  struct {
    uint32_t caps;
    const char* says;
  } cases[] = {
      {V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, "cannot capture video"},
      {V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, "cannot capture video"},
      {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, "streaming"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("capabilities " + std::to_string(c.caps));
    camera_.device_caps = c.caps;
    V4l2Source source(camera_, node_, kShortWaits, 0, failure_);
    EXPECT_FALSE(source.Connect());
    EXPECT_NE(source.failure().find(c.says), std::string::npos) << source.failure();
  }
  V4l2Source missing(camera_, folder_.path() + "/video7", kShortWaits, 0, failure_);
  EXPECT_FALSE(missing.Connect());
  EXPECT_NE(missing.failure().find("No such file"), std::string::npos) << missing.failure();
}

// Another process holds the device's lock, as a request in progress does, until told to let go.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(path.c_str(), O_RDONLY);
      flock(fd, LOCK_EX);
      const char held = 'h';
      if (write(pipe_fds[1], &held, 1) != 1) _exit(1);
      pause();  // until killed: the lock goes with the process
      _exit(0);
    }
    close(pipe_fds[1]);
    char byte = 0;
    EXPECT_EQ(read(pipe_fds[0], &byte, 1), 1);
    close(pipe_fds[0]);
  }
  ~LockHolder() { LetGo(); }
  // Ends the holder; the lock is free when this returns.
  void LetGo() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool holding() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

TEST_F(V4l2SourceTest, ARequestWaitsForTheOneInProgress) {
  LockHolder holder(node_);
  camera_.on_pause = [&](int pause) {
    if (pause == 3) holder.LetGo();
  };
  V4l2Source source(camera_, node_, V4l2Timeouts{}, 0, failure_);
  ASSERT_TRUE(source.Connect()) << source.failure();
  EXPECT_EQ(camera_.pauses, 3) << "connected while another process held the device, or waited on";
}

// The deployed wait, on the fake's clock: given up after 10 s, in steps of at most 20 ms.
TEST_F(V4l2SourceTest, ARequestThatWaitsTooLongIsAFailedConnection) {
  LockHolder holder(node_);
  const int64_t started = camera_.now_ms;
  V4l2Source source(camera_, node_, V4l2Timeouts{}, 0, failure_);
  EXPECT_FALSE(source.Connect());
  EXPECT_NE(source.failure().find("still in use by another request after 10000 ms"), std::string::npos)
      << source.failure();
  EXPECT_EQ(camera_.now_ms - started, 10000);
  EXPECT_GE(camera_.pauses, 10000 / 20);
  EXPECT_TRUE(holder.holding());
}

TEST_F(V4l2SourceTest, AWaitingRequestAsksWhetherToGiveWayAndStopsWaitingWhenTold) {
  LockHolder holder(node_);
  std::vector<std::string> asked;
  V4l2Source source(camera_, node_, V4l2Timeouts{200, 5000}, 0, failure_, [&](const std::string& device) {
    asked.push_back(device);
    return asked.size() == 3;
  });
  EXPECT_FALSE(source.Connect());
  EXPECT_EQ(asked, std::vector<std::string>(3, node_));
  EXPECT_EQ(source.failure(), "") << "giving way is not a failure to report";
  EXPECT_EQ(source.origin(), std::nullopt);
}

TEST_F(V4l2SourceTest, AFreeDeviceIsTakenWithoutAskingAndTheFrameSaysWhereAndWhen) {
  bool asked = false;
  camera_.script = {{FakeCamera::Step::kFrame, 1}};
  timespec before{}, after{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  V4l2Source source(camera_, node_, kShortWaits, 0, failure_,
                    [&](const std::string&) { return asked = true; });
  ASSERT_TRUE(source.Connect()) << source.failure();
  EXPECT_EQ(source.origin(), std::nullopt) << "no frame yet";
  source.SetFormat(Request(160, 120));
  ASSERT_TRUE(source.Grab()) << source.failure();
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_FALSE(asked);
  const std::optional<FrameOrigin> origin = source.origin();
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->device, node_);
  EXPECT_GE(origin->taken_ns, int64_t{before.tv_sec} * 1000000000 + before.tv_nsec);
  EXPECT_LE(origin->taken_ns, int64_t{after.tv_sec} * 1000000000 + after.tv_nsec);
}

TEST_F(V4l2SourceTest, AFrameIsNeverSaidToBeNewerThanItIs) {
  // The driver's own time stamp is taken where it is plausible; otherwise the stream's start, which
  // no frame of the stream precedes, stands in for it.
  const struct {
    const char* name;
    std::optional<int64_t> stamp_from_now_ns;
    bool stamp_used;
  } cases[] = {
      {"stamped as it was dequeued", 0, true},
      {"no time stamp", std::nullopt, false},
      {"stamped in the future", 1'000'000'000, false},
      {"stamped before the stream started", -10'000'000'000, false},
  };
  for (const auto& c : cases) {
    camera_.stamp_from_now_ns = c.stamp_from_now_ns;
    camera_.script = {{FakeCamera::Step::kFrame, 1}};
    V4l2Source source(camera_, node_, kShortWaits, 0, failure_);
    const int64_t before = MonotonicNanoseconds();
    ASSERT_TRUE(source.Connect()) << failure_;
    source.SetFormat(Request(160, 120));
    ASSERT_TRUE(source.Grab()) << failure_;
    const int64_t after = MonotonicNanoseconds();
    const int64_t taken = source.origin()->taken_ns;
    EXPECT_GE(taken, before) << c.name;
    EXPECT_LE(taken, after) << c.name;
    if (c.stamp_from_now_ns) {
      EXPECT_EQ(taken == camera_.last_stamp_ns, c.stamp_used) << c.name;
    }
  }
}

TEST_F(V4l2SourceTest, DisconnectLetsTheNextRequestIn) {
  {
    V4l2Source first(camera_, node_, kShortWaits, 0, failure_);
    ASSERT_TRUE(first.Connect());
    V4l2Source second(camera_, node_, V4l2Timeouts{200, 50}, 0, failure_);
    EXPECT_FALSE(second.Connect());
  }
  V4l2Source third(camera_, node_, V4l2Timeouts{200, 50}, 0, failure_);
  EXPECT_TRUE(third.Connect()) << third.failure();
}

}  // namespace
