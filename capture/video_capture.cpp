#include "capture/video_capture.h"

#include <string_view>

#include "capture/file_source.h"
#include "capture/test_source.h"

namespace {

bool Fail(CaptureWindow& window, std::string why) {
  window.failure = std::move(why);
  return false;
}

std::unique_ptr<FrameSource> ConnectNamed(CaptureWindow& window, const std::string& name) {
  if (name == "test") return std::make_unique<TestSource>(window.failure);
  constexpr std::string_view kFilePrefix = "file:";
  if (name.starts_with(kFilePrefix)) {
    auto source = std::make_unique<FileSource>(name.substr(kFilePrefix.size()), window.failure);
    if (source->Connect()) return source;
    return nullptr;  // the source said why
  }
  return ConnectNamedSystemDriver(window, name);
}

}  // namespace

std::unique_ptr<CaptureWindow> CreateCaptureWindow(const char* name, uint32_t style, int x, int y, int width,
                                                   int height, WindowHandle parent, int id,
                                                   CaptureDrivers drivers) {
  if (width <= 0 || height <= 0 || parent == 0) return nullptr;
  return std::make_unique<CaptureWindow>(CaptureWindowShape{name, style, x, y, width, height, parent, id},
                                         std::move(drivers));
}

bool CapDriverConnect(CaptureWindow& window, int driver_index) {
  if (window.driver) return Fail(window, "a driver is already connected");
  const CaptureDrivers& drivers = window.drivers;
  if (driver_index == 0) {
    window.driver = std::make_unique<TestSource>(window.failure);
  } else if (driver_index == 1 && drivers.driver_1) {
    window.driver = ConnectNamed(window, *drivers.driver_1);
  } else if (driver_index > 0) {
    window.driver = ConnectSystemDriver(window, driver_index);
  } else {
    return Fail(window, "no capture driver " + std::to_string(driver_index));
  }
  return window.driver != nullptr;
}

bool CapSetVideoFormat(CaptureWindow& window, const BitmapInfoHeader& format) {
  if (!window.driver) return Fail(window, "no driver connected");
  window.driver->SetFormat(format);
  return true;
}

bool CapGrabFrame(CaptureWindow& window) {
  if (!window.driver) return Fail(window, "no driver connected");
  return window.driver->Grab();
}

bool CapFileSaveDib(CaptureWindow& window, const char* path) {
  if (!window.driver) return Fail(window, "no driver connected");
  return window.driver->SaveFrame(path);
}

bool CapDriverDisconnect(CaptureWindow& window) {
  if (!window.driver) return Fail(window, "no driver connected");
  window.driver.reset();
  return true;
}
