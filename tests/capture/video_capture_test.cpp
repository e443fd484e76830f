// The capture binding and the frame grab: driver numbering, what stands at index 1, and the
// sequence connect / format / grab / save / disconnect.
#include "capture/video_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/driver_list.h"
#include "capture/frame_grab.h"
#include "capture/v4l2_source.h"
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
  FrameGrab grab(Drivers(), false);
  EXPECT_FALSE(grab.Open(160, 120));
  ASSERT_NE(grab.window(), nullptr);
  EXPECT_EQ(grab.window()->driver, nullptr);
  EXPECT_NE(grab.window()->failure.find("no camera"), std::string::npos) << grab.window()->failure;
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
  CaptureDrivers drivers = Drivers();
  drivers.driver_1 = "file:" + tmp_.path() + "/fixed";
  FrameGrab grab(std::move(drivers), false);
  ASSERT_TRUE(grab.Open(640, 480));
  std::string frame_path = tmp_.path() + "/frame.bmp";
  WriteFileBytes(frame_path, std::string(5000, 'o'));  // an earlier run's frame
  ASSERT_TRUE(grab.TakeFrame(640, 480, frame_path.c_str()));
  EXPECT_EQ(ReadFileBytes(frame_path), bytes);
  grab.Close();
}

TEST_F(DeviceFolder, TheFrameGrabAsksForExactlyTheRequestedFrame) {
  CaptureDrivers drivers = Drivers();
  drivers.driver_1 = "test";
  FrameGrab grab(std::move(drivers), false);
  ASSERT_TRUE(grab.Open(320, 240));
  const CaptureWindow& window = *grab.window();
  EXPECT_EQ(window.name, "My Own Capture Window");
  EXPECT_EQ(window.style, 0x50000000u);
  EXPECT_EQ(window.width, 320);
  EXPECT_EQ(window.height, 240);
  EXPECT_EQ(window.parent, kDesktopWindow);
  EXPECT_EQ(window.id, 126);

  std::string frame_path = tmp_.path() + "/frame.bmp";
  ASSERT_TRUE(grab.TakeFrame(320, 240, frame_path.c_str()));
  FrameBitmap frame = LoadFrameBitmap(frame_path.c_str());
  EXPECT_EQ(frame.width, 320);
  EXPECT_EQ(frame.height, 240);
  EXPECT_EQ(frame.bits_per_pixel, 16);
  grab.Close();
  EXPECT_EQ(grab.window()->driver, nullptr);
}

TEST_F(DeviceFolder, AFailedSaveIsAFailedTakeAndTheDeviceIsStillReleased) {
  AddNode("video0", kCapture);
  camera_.script = {{FakeCamera::Step::kFrame, 0}};
  FrameGrab grab(Drivers(), false);
  ASSERT_TRUE(grab.Open(160, 120));
  EXPECT_FALSE(grab.TakeFrame(160, 120, (tmp_.path() + "/no/such/folder/frame.bmp").c_str()));
  EXPECT_NE(grab.window()->failure.find("frame file"), std::string::npos) << grab.window()->failure;
  grab.Close();
  EXPECT_EQ(camera_.open_fds, 0);
  EXPECT_EQ(camera_.mapped, 0);
}

}  // namespace
