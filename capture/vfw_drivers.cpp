// The system's capture drivers on Windows: AVICAP32. The capture window is a real window of the
// capture library, made when the driver is connected, and every step is one of its messages.
// vfw.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <vfw.h>
// clang-format on

#include <charconv>
#include <string>
#include <string_view>

#include "capture/video_capture.h"

namespace {

// A connected VFW driver, behind its capture window. The window is not destroyed: it goes with the
// process, as the capture library's own examples leave it.
class VfwSource final : public FrameSource {
 public:
  VfwSource(HWND window, std::string& failure) : FrameSource(failure), window_(window) {}
  ~VfwSource() override { SendMessageA(window_, WM_CAP_DRIVER_DISCONNECT, 0, 0); }
  VfwSource(const VfwSource&) = delete;
  VfwSource& operator=(const VfwSource&) = delete;

  // Whatever the answer: a driver that keeps its own format says so in the frame file.
  void SetFormat(const BitmapInfoHeader& wanted) override {
    BitmapInfoHeader format = wanted;
    SendMessageA(window_, WM_CAP_SET_VIDEOFORMAT, sizeof format, reinterpret_cast<LPARAM>(&format));
  }

  bool Grab() override {
    return SendMessageA(window_, WM_CAP_GRAB_FRAME, 0, 0) != 0 || Fail("the VFW driver grabbed no frame");
  }

  bool SaveFrame(const char* path) override {
    return SendMessageA(window_, WM_CAP_FILE_SAVEDIBA, 0, reinterpret_cast<LPARAM>(path)) != 0 ||
           Fail(std::string("the VFW driver did not save the frame to ") + path);
  }

 private:
  HWND window_;
};

std::string DriverName(unsigned driver) {
  char name[128] = {};
  char version[64] = {};
  if (!capGetDriverDescriptionA(driver, name, sizeof name, version, sizeof version)) return "";
  return name;
}

std::unique_ptr<FrameSource> ConnectVfw(CaptureWindow& window, unsigned driver) {
  const CaptureWindowShape& shape = window.shape;
  HWND handle = capCreateCaptureWindowA(shape.name.c_str(), shape.style, shape.x, shape.y, shape.width,
                                        shape.height, reinterpret_cast<HWND>(shape.parent), shape.id);
  if (handle == nullptr) {
    window.failure = "no capture window: AVICAP32 could not make one";
    return nullptr;
  }
  if (SendMessageA(handle, WM_CAP_DRIVER_CONNECT, driver, 0) == 0) {
    const std::string name = DriverName(driver);
    window.failure = "VFW driver " + std::to_string(driver) +
                     (name.empty() ? " is not installed" : " (" + name + ") did not connect");
    return nullptr;
  }
  // VFW drivers have no controls by name; their own settings dialogs are not for a server.
  for (const CameraControl& control : window.drivers.camera_controls) {
    window.drivers.warn("control " + control.name + ": not supported by VFW drivers");
  }
  return std::make_unique<VfwSource>(handle, window.failure);
}

}  // namespace

WindowHandle DesktopWindow() { return reinterpret_cast<WindowHandle>(GetDesktopWindow()); }

std::unique_ptr<FrameSource> ConnectSystemDriver(CaptureWindow& window, int number) {
  return ConnectVfw(window, static_cast<unsigned>(number - 1));
}

std::unique_ptr<FrameSource> ConnectNamedSystemDriver(CaptureWindow& window, const std::string& name) {
  constexpr std::string_view kVfwPrefix = "vfw:";
  unsigned driver = 0;
  const char* digits = name.data() + kVfwPrefix.size();
  const char* end = name.data() + name.size();
  if (!name.starts_with(kVfwPrefix) || digits == end || std::from_chars(digits, end, driver).ptr != end) {
    window.failure = "no capture driver \"" + name + "\": on Windows a driver is test, file:PATH or vfw:N";
    return nullptr;
  }
  return ConnectVfw(window, driver);
}
