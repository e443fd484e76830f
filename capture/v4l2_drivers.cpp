// The system's capture drivers on Linux: V4L2 devices.
#include <string>

#include "capture/driver_list.h"
#include "capture/v4l2_source.h"
#include "capture/video_capture.h"

namespace {

std::unique_ptr<FrameSource> ConnectV4l2(CaptureWindow& window, const std::string& path) {
  const CaptureDrivers& drivers = window.drivers;
  auto source = std::make_unique<V4l2Source>(*drivers.io, path, drivers.timeouts, drivers.warm_up_frames,
                                             window.failure, drivers.give_way);
  if (!source->Connect()) return nullptr;  // the source said why
  source->SetControls(drivers.camera_controls, drivers.warn);
  return source;
}

}  // namespace

WindowHandle DesktopWindow() { return kDesktopWindow; }

std::unique_ptr<FrameSource> ConnectSystemDriver(CaptureWindow& window, int number) {
  const CaptureDrivers& drivers = window.drivers;
  auto nodes = ListVideoCaptureNodes(*drivers.io, drivers.device_folder, static_cast<size_t>(number));
  if (nodes.size() < static_cast<size_t>(number)) {
    window.failure = nodes.empty()
                         ? "no camera: no video capture device in " + drivers.device_folder
                         : "no capture driver " + std::to_string(number) + ": only " +
                               std::to_string(nodes.size()) + " camera(s) in " + drivers.device_folder;
    return nullptr;
  }
  return ConnectV4l2(window, nodes[static_cast<size_t>(number) - 1]);
}

std::unique_ptr<FrameSource> ConnectNamedSystemDriver(CaptureWindow& window, const std::string& name) {
  return ConnectV4l2(window, name);
}
