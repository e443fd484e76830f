// Runs of the program's own stages on one camera (the fake behind the V4L2 seam, its node a real file
// that flock works on): a run that waits for the camera while another holds it answers with the
// picture of the run it waited for, and only when that is the same picture, taken after it started.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/platform.h"
#include "cgi/cgi_response.h"
#include "cgi/production_stages.h"
#include "cgi/snapshot_run.h"
#include "tests/capture/fake_camera.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

class PictureSharing : public testing::Test {
 protected:
  PictureSharing() : node_(dev_.path() + "/video0") {
    WriteFileBytes(node_, "");
    camera_.current.width = 320;
    camera_.current.height = 240;
  }

  // One run, as main() makes it, with its standard output caught in a file.
  std::string Run(bool share, int64_t started, const SnapshotOptions& options) {
    Settings settings;
    settings.device = node_;
    settings.skip_frames = 0;
    settings.share = share;
    settings.temporary_folder = tmp_.path();
    SystemDrivers system;
    system.io = &camera_;
    system.device_folder = dev_.path();
    system.timeouts = {200, 300};
    ProductionStages stages(settings, started, system);

    const std::string out_path = out_.path() + "/out";
    const int saved = dup(STDOUT_FILENO);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(out, STDOUT_FILENO);
    close(out);
    EXPECT_EQ(RunSnapshot(options, stages, tmp_.path().c_str()), kRunCompleted);
    dup2(saved, STDOUT_FILENO);  // the response closed it
    close(saved);
    return ReadFileBytes(out_path);
  }

  TempFolder dev_;
  TempFolder tmp_;
  TempFolder out_;
  std::string node_;
  FakeCamera camera_;
};

SnapshotOptions Options(int width, int height, bool caption) {
  SnapshotOptions options;
  options.frame_width = width;
  options.frame_height = height;
  options.caption = caption;
  return options;
}

TEST_F(PictureSharing, AWaitingRunAnswersOnlyWithTheSamePictureTakenAfterItStarted) {
  const SnapshotOptions medium = Options(320, 240, true);
  const struct {
    const char* name;
    bool share;
    bool started_after_the_frame;
    SnapshotOptions options;
    bool answered;
  } cases[] = {
      {"same choices, started before the frame", true, false, medium, true},
      {"sharing off", false, false, medium, false},
      {"started after the frame was taken", true, true, medium, false},
      {"another size", true, false, Options(640, 480, true), false},
      {"without the caption", true, false, Options(320, 240, false), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t early = MonotonicNanoseconds();
    camera_.script = {{FakeCamera::Step::kFrame, 7}};
    const std::string taken = Run(true, early, medium);  // the camera is free: it captures and keeps a copy
    ASSERT_TRUE(taken.starts_with(kResponseHeader));
    ASSERT_TRUE(DecodeJpeg(taken.substr(kResponseHeaderSize)).ok);
    const int64_t late = MonotonicNanoseconds();

    // Another run holds the camera now; the next one waits for it.
    const int holder = open(node_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    const int dequeued = camera_.dequeued;
    const std::string answer = Run(c.share, c.started_after_the_frame ? late : early, c.options);
    close(holder);

    EXPECT_EQ(camera_.dequeued, dequeued) << "the waiting run took a frame";
    if (c.answered) {
      EXPECT_TRUE(answer == taken) << answer.size() << " bytes, not the " << taken.size()
                                   << " of the picture";
    } else {
      EXPECT_EQ(answer, "") << "answered instead of waiting its turn (which ends after 300 ms here)";
    }
  }
  // Only the share folder stays: no run file is left.
  size_t entries = 0;
  for (const std::string& name : tmp_.Entries()) {
    EXPECT_EQ(name.rfind("stillcam-share-", 0), 0u) << name;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

}  // namespace
