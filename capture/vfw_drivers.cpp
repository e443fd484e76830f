// The system's capture drivers on Windows: AVICAP32. The capture window is a real window of the
// capture library, made when the driver is connected, and every step is one of its messages.
#include <windows.h>
#include <vfw.h>

#include <charconv>
#include <string>
#include <string_view>

#include "capture/video_capture.h"

namespace {

// A connected VFW driver, behind its capture window. The window is not destroyed: it goes with the
// process, as the capture library's own examples leave it.
class VfwSource final : public FrameSource {
 public:
  explicit VfwSource(HWND window) : window_(window) {}
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

std::unique_ptr<FrameSource> ConnectVfw(const CaptureWindow& window, unsigned driver, std::string& why) {
  HWND handle = capCreateCaptureWindowA(window.name.c_str(), window.style, window.x, window.y, window.width,
                                        window.height, reinterpret_cast<HWND>(window.parent), window.id);
  if (handle == nullptr) {
    why = "no capture window: AVICAP32 could not make one";
    return nullptr;
  }
  if (SendMessageA(handle, WM_CAP_DRIVER_CONNECT, driver, 0) == 0) {
    const std::string name = DriverName(driver);
    why = "VFW driver " + std::to_string(driver) + (name.empty() ? " is not installed" : " (" + name + ") did not connect");
    return nullptr;
  }
  return std::make_unique<VfwSource>(handle);
}

}  // namespace

WindowHandle DesktopWindow() { return reinterpret_cast<WindowHandle>(GetDesktopWindow()); }

std::unique_ptr<FrameSource> ConnectSystemDriver(const CaptureWindow& window, int number, std::string& why) {
  return ConnectVfw(window, static_cast<unsigned>(number - 1), why);
}

std::unique_ptr<FrameSource> ConnectNamedSystemDriver(const CaptureWindow& window, const std::string& name,
                                                      std::string& why) {
  constexpr std::string_view kVfwPrefix = "vfw:";
  unsigned driver = 0;
  const char* digits = name.data() + kVfwPrefix.size();
  const char* end = name.data() + name.size();
  if (!name.starts_with(kVfwPrefix) || digits == end || std::from_chars(digits, end, driver).ptr != end) {
    why = "no capture driver \"" + name + "\": on Windows a driver is test, file:PATH or vfw:N";
    return nullptr;
  }
  return ConnectVfw(window, driver, why);
}
