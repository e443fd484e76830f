#include "capture/video_capture.h"

#include <cstring>
#include <string_view>

#include "capture/file_source.h"
#include "capture/test_source.h"

namespace {

bool Fail(CaptureWindow& window, std::string why) {
  window.failure = std::move(why);
  return false;
}

std::unique_ptr<FrameSource> ConnectNamed(const CaptureWindow& window, const std::string& name,
                                          std::string& why) {
  if (name == "test") return std::make_unique<TestSource>();
  constexpr std::string_view kFilePrefix = "file:";
  if (name.starts_with(kFilePrefix)) {
    auto source = std::make_unique<FileSource>(name.substr(kFilePrefix.size()));
    if (source->Connect()) return source;
    why = source->failure();
    return nullptr;
  }
  return ConnectNamedSystemDriver(window, name, why);
}

}  // namespace

std::unique_ptr<CaptureWindow> CreateCaptureWindow(const char* name, uint32_t style, int x, int y, int width,
                                                   int height, WindowHandle parent, int id,
                                                   CaptureDrivers drivers) {
  if (width <= 0 || height <= 0 || parent == 0) return nullptr;
  auto window = std::make_unique<CaptureWindow>();
  window->name = name;
  window->style = style;
  window->x = x;
  window->y = y;
  window->width = width;
  window->height = height;
  window->parent = parent;
  window->id = id;
  window->drivers = std::move(drivers);
  return window;
}

bool CapDriverConnect(CaptureWindow& window, int driver_index) {
  if (window.driver) return Fail(window, "a driver is already connected");
  const CaptureDrivers& drivers = window.drivers;
  std::string why;
  if (driver_index == 0) {
    window.driver = std::make_unique<TestSource>();
  } else if (driver_index == 1 && drivers.driver_1) {
    window.driver = ConnectNamed(window, *drivers.driver_1, why);
  } else if (driver_index > 0) {
    window.driver = ConnectSystemDriver(window, driver_index, why);
  } else {
    why = "no capture driver " + std::to_string(driver_index);
  }
  return window.driver != nullptr || Fail(window, why);
}

bool CapSetVideoFormat(CaptureWindow& window, const void* format, size_t size) {
  if (!window.driver) return Fail(window, "no driver connected");
  if (format == nullptr || size < sizeof(BitmapInfoHeader)) return Fail(window, "not a bitmap info header");
  BitmapInfoHeader wanted;
  std::memcpy(&wanted, format, sizeof wanted);
  window.driver->SetFormat(wanted);
  return true;
}

bool CapGrabFrame(CaptureWindow& window) {
  if (!window.driver) return Fail(window, "no driver connected");
  return window.driver->Grab() || Fail(window, window.driver->failure());
}

bool CapFileSaveDib(CaptureWindow& window, const char* path) {
  if (!window.driver) return Fail(window, "no driver connected");
  return window.driver->SaveFrame(path) || Fail(window, window.driver->failure());
}

bool CapDriverDisconnect(CaptureWindow& window) {
  if (!window.driver) return Fail(window, "no driver connected");
  window.driver.reset();
  return true;
}
