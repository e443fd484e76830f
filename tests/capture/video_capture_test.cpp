// The capture binding and the capture stage on top of it: driver numbering, what stands at index 1, and the
// sequence connect / format / grab / save / disconnect.
#include "capture/video_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/bitmap_info_header.h"
#include "capture/driver_list.h"
#include "capture/v4l2_source.h"
#include "cgi/production_stages.h"
#include "imaging/bmp_reader.h"
#include "tests/capture/fake_camera.h"
#include "tests/support/process_runner.h"

namespace {

constexpr uint32_t kCapture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

// A device folder as udev leaves it on a machine with a webcam, a UVC metadata node, an
// output-only codec node and other things that are not capture devices.
class DeviceFolder : public testing::Test {
 protected:
  void AddNode(const std::string& name, uint32_t caps) {
    WriteFileBytes(dev_.path() + "/" + name, "");
    camera_.caps_by_name[name] = caps;
  }

  CaptureDrivers Drivers() {
    CaptureDrivers drivers;
    drivers.io = &camera_;
    drivers.device_folder = dev_.path();
    drivers.warm_up_frames = 0;
    drivers.timeouts = {200, 200};
    return drivers;
  }

  // The run's stages over this folder's devices, as settings would make them.
  std::unique_ptr<ProductionStages> Stages(std::optional<std::string> device, bool verbose) {
    Settings settings;
    settings.device = std::move(device);
    settings.skip_frames = 0;
    settings.verbose = verbose;
    settings.share = false;
    settings.temporary_folder = tmp_.path();
    return std::make_unique<ProductionStages>(settings, 0, Drivers());
  }

  std::unique_ptr<CaptureWindow> Window(CaptureDrivers drivers) {
    return CreateCaptureWindow("My Own Capture Window", kCaptureWindowStyle, 0, 0, 160, 120, kDesktopWindow,
                               kCaptureWindowId, std::move(drivers));
  }

  TempFolder dev_;
  TempFolder tmp_;
  FakeCamera camera_;
};

TEST_F(DeviceFolder, CapturesVideoInNumericOrderAndSkipsTheRest) {
  AddNode("video0", V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING);
  AddNode("video1", kCapture);
  AddNode("video2", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING);
  AddNode("video10", kCapture);
  AddNode("video9", kCapture);
  AddNode("vbi0", V4L2_CAP_VBI_CAPTURE);
  AddNode("radio0", V4L2_CAP_RADIO | V4L2_CAP_TUNER);
  AddNode("video", kCapture);
  AddNode("video1x", kCapture);
  AddNode("video3", V4L2_CAP_VBI_CAPTURE | V4L2_CAP_RADIO);
  const std::string at = dev_.path() + "/";
  EXPECT_EQ(ListVideoCaptureNodes(camera_, dev_.path(), 10),
            (std::vector<std::string>{at + "video1", at + "video9", at + "video10"}));
  EXPECT_EQ(ListVideoCaptureNodes(camera_, dev_.path(), 1), std::vector<std::string>{at + "video1"});
  EXPECT_EQ(camera_.open_fds, 0);
  EXPECT_TRUE(ListVideoCaptureNodes(camera_, dev_.path() + "/missing", 1).empty());
}

TEST_F(DeviceFolder, DriverOneIsTheFirstCameraAndTwoTheSecond) {
  AddNode("video0", V4L2_CAP_META_CAPTURE);
  AddNode("video1", kCapture);
  AddNode("video4", kCapture);
  for (int index : {1, 2}) {
    auto window = Window(Drivers());
    ASSERT_TRUE(CapDriverConnect(*window, index)) << window->failure;
    EXPECT_EQ(camera_.opened.back(), dev_.path() + (index == 1 ? "/video1" : "/video4"));
    EXPECT_TRUE(CapDriverDisconnect(*window));
  }
  EXPECT_EQ(camera_.open_fds, 0);
  auto window = Window(Drivers());
  EXPECT_FALSE(CapDriverConnect(*window, 3));
  EXPECT_FALSE(CapDriverConnect(*window, -1));
}

TEST_F(DeviceFolder, OnlyTheTestSourceMeansNoConnection) {
  AddNode("video0", V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING);
  auto stages = Stages(std::nullopt, true);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(stages->OpenCapture(SnapshotOptions{}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stillcam: no camera: no video capture device in " + dev_.path() + "\n");
  EXPECT_EQ(camera_.open_fds, 0);

  // Driver 0 itself is always there.
  auto window = Window(Drivers());
  EXPECT_TRUE(CapDriverConnect(*window, 0));
}

TEST_F(DeviceFolder, WhatTheAdministratorPutsAtIndexOne) {
  AddNode("video0", kCapture);
  WriteFileBytes(tmp_.path() + "/placeholder.bmp", "BM any bytes at all");
  struct {
    std::string driver_1;
    bool connects;
    std::string opened;  // the V4L2 node opened, if any
  } cases[] = {
      {"test", true, ""},
      {"file:" + tmp_.path() + "/placeholder.bmp", true, ""},
      {"file:" + tmp_.path() + "/missing.bmp", false, ""},
      {"file:" + tmp_.path(), false, ""},  // a folder is no frame
      {dev_.path() + "/video0", true, dev_.path() + "/video0"},
      {dev_.path() + "/video5", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver_1);
    camera_.opened.clear();
    CaptureDrivers drivers = Drivers();
    drivers.driver_1 = c.driver_1;
    auto window = Window(std::move(drivers));
    EXPECT_EQ(CapDriverConnect(*window, 1), c.connects) << window->failure;
    EXPECT_EQ(camera_.opened.empty() ? "" : camera_.opened.front(), c.opened);
    if (c.connects) {
      EXPECT_TRUE(CapDriverDisconnect(*window));
    }
  }
  EXPECT_EQ(camera_.open_fds, 0);
}

TEST_F(DeviceFolder, AFileSourceDeliversItsBytesUnchangedWhateverWasAsked) {
  std::string bytes = "not even a picture\0\xff\x01 but delivered as it is";
  WriteFileBytes(tmp_.path() + "/fixed", bytes);
  auto stages = Stages("file:" + tmp_.path() + "/fixed", false);
  const SnapshotOptions large{640, 480, false, false};
  ASSERT_TRUE(stages->OpenCapture(large));
  std::string frame_path = tmp_.path() + "/frame.bmp";
  WriteFileBytes(frame_path, std::string(5000, 'o'));  // an earlier run's frame
  ASSERT_TRUE(stages->TakeFrame(large, frame_path.c_str()));
  EXPECT_EQ(ReadFileBytes(frame_path), bytes);
  stages->CloseCapture();
}

TEST_F(DeviceFolder, TheCaptureAsksForExactlyTheRequestedFrame) {
  auto stages = Stages("test", false);
  const SnapshotOptions medium{320, 240, false, false};
  ASSERT_TRUE(stages->OpenCapture(medium));
  std::string frame_path = tmp_.path() + "/frame.bmp";
  ASSERT_TRUE(stages->TakeFrame(medium, frame_path.c_str()));
  FrameBitmap frame = LoadFrameBitmap(frame_path.c_str());
  EXPECT_EQ(frame.width(), 320);
  EXPECT_EQ(frame.height(), 240);
  EXPECT_EQ(frame.format().bits_per_pixel(), 16);
  stages->CloseCapture();
}

TEST_F(DeviceFolder, AWindowNeedsASizeAndAParent) {
  EXPECT_EQ(CreateCaptureWindow("w", kCaptureWindowStyle, 0, 0, 0, 120, kDesktopWindow, 1, Drivers()),
            nullptr);
  EXPECT_EQ(CreateCaptureWindow("w", kCaptureWindowStyle, 0, 0, 160, -1, kDesktopWindow, 1, Drivers()),
            nullptr);
  EXPECT_EQ(CreateCaptureWindow("w", kCaptureWindowStyle, 0, 0, 160, 120, 0, 1, Drivers()), nullptr);
  auto window = Window(Drivers());
  ASSERT_NE(window, nullptr);
  // Every operation but the connect needs a connected driver.
  EXPECT_FALSE(CapSetVideoFormat(*window, RequestedFrameFormat(160, 120)));
  EXPECT_FALSE(CapGrabFrame(*window));
  EXPECT_FALSE(CapDriverDisconnect(*window));
  EXPECT_EQ(window->failure, "no driver connected");
}

TEST_F(DeviceFolder, AFailedSaveIsAFailedTakeAndTheDeviceIsStillReleased) {
  AddNode("video0", kCapture);
  camera_.script = {{FakeCamera::Step::kFrame, 0}};
  auto stages = Stages(std::nullopt, true);
  ASSERT_TRUE(stages->OpenCapture(SnapshotOptions{}));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(stages->TakeFrame(SnapshotOptions{}, (tmp_.path() + "/no/such/folder/frame.bmp").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "stillcam: cannot write the frame file: No such file or directory\n");
  stages->CloseCapture();
  EXPECT_EQ(camera_.open_fds, 0);
  EXPECT_EQ(camera_.mapped, 0);
}

}  // namespace
