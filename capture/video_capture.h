#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/bitmap_info_header.h"
#include "capture/camera_control.h"
#include "capture/frame_source.h"
#include "capture/system_drivers.h"

// VideoCapture: the capture window and its five operations, each answering true for success and
// false for failure, in the terms of the capture library the program was written against.
//
// Capture drivers by index: 0 is the built-in test source; 1, 2, ... are the drivers the system
// offers (capture/system_drivers.h): V4L2 nodes on Linux, AVICAP32's drivers on Windows. The
// administrator may put another source at index 1: "test" for the test source, "file:PATH" for a
// file delivered as it is, or a driver of the system's own naming.

inline constexpr uint32_t kCaptureWindowStyle = 0x50000000;  // child, visible
inline constexpr int kCaptureWindowId = 126;

// Where the drivers come from. The defaults are a deployed server's.
struct CaptureDrivers : SystemDrivers {
  std::optional<std::string> driver_1;  // replaces what stands at index 1
  int warm_up_frames = 0;               // thrown away after the stream starts, while the camera settles
  GiveWay give_way;                     // for a camera that another run holds; none: wait for it
  std::vector<CameraControl> camera_controls;  // set on a camera after connecting, in this order
  // Says one line in the server's error log, verbose or not: a control the camera would not take.
  std::function<void(const std::string& line)> warn = [](const std::string&) {};
};

// A capture window: the drivers it can reach, the one connected, and why the last operation failed.
// The connected driver writes its reasons into failure itself, so that there is one account of them.
// The window as it was asked for; a system whose drivers live behind a real capture window (Windows)
// makes that window with it.
struct CaptureWindowShape {
  std::string name;
  uint32_t style = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  WindowHandle parent = 0;
  int id = 0;
};

struct CaptureWindow {
  CaptureWindow(CaptureWindowShape asked, CaptureDrivers from)
      : shape(std::move(asked)), drivers(std::move(from)) {}
  CaptureWindow(const CaptureWindow&) = delete;
  CaptureWindow& operator=(const CaptureWindow&) = delete;

  CaptureWindowShape shape;
  CaptureDrivers drivers;
  std::string failure;
  std::unique_ptr<FrameSource> driver;  // declared last: it refers to failure while it lives
};

// Null for a window that cannot be made (no size, no parent).
std::unique_ptr<CaptureWindow> CreateCaptureWindow(const char* name, uint32_t style, int x, int y, int width,
                                                   int height, WindowHandle parent, int id,
                                                   CaptureDrivers drivers);

bool CapDriverConnect(CaptureWindow& window, int driver_index);
bool CapSetVideoFormat(CaptureWindow& window, const BitmapInfoHeader& format);
bool CapGrabFrame(CaptureWindow& window);
bool CapFileSaveDib(CaptureWindow& window, const char* path);
bool CapDriverDisconnect(CaptureWindow& window);
