// The system's capture drivers on Linux: V4L2 devices.
#include <string>

#include "capture/driver_list.h"
#include "capture/v4l2_source.h"
#include "capture/video_capture.h"

namespace {

std::unique_ptr<FrameSource> ConnectV4l2(const CaptureWindow& window, const std::string& path,
                                         std::string& why) {
  const CaptureDrivers& drivers = window.drivers;
  auto source = std::make_unique<V4l2Source>(*drivers.io, path, drivers.timeouts, drivers.warm_up_frames,
                                             drivers.give_way);
  if (source->Connect()) return source;
  why = source->failure();
  return nullptr;
}

}  // namespace

WindowHandle DesktopWindow() { return kDesktopWindow; }

std::unique_ptr<FrameSource> ConnectSystemDriver(const CaptureWindow& window, int number, std::string& why) {
  const CaptureDrivers& drivers = window.drivers;
  auto nodes = ListVideoCaptureNodes(*drivers.io, drivers.device_folder, static_cast<size_t>(number));
  if (nodes.size() < static_cast<size_t>(number)) {
    why = nodes.empty() ? "no camera: no video capture device in " + drivers.device_folder
                        : "no capture driver " + std::to_string(number) + ": only " +
                              std::to_string(nodes.size()) + " camera(s) in " + drivers.device_folder;
    return nullptr;
  }
  return ConnectV4l2(window, nodes[static_cast<size_t>(number) - 1], why);
}

std::unique_ptr<FrameSource> ConnectNamedSystemDriver(const CaptureWindow& window, const std::string& name,
                                                      std::string& why) {
  return ConnectV4l2(window, name, why);
}
