#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
  GiveWay give_way;  // for a camera that another run holds; none: wait for it
};

struct CaptureWindow {
  std::string name;
  uint32_t style = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  WindowHandle parent = 0;
  int id = 0;
  CaptureDrivers drivers;
  std::unique_ptr<FrameSource> driver;  // the connected driver, if any
  std::string failure;                  // why the last operation failed
};

// Null for a window that cannot be made (no size).
std::unique_ptr<CaptureWindow> CreateCaptureWindow(const char* name, uint32_t style, int x, int y, int width,
                                                   int height, WindowHandle parent, int id,
                                                   CaptureDrivers drivers);

bool CapDriverConnect(CaptureWindow& window, int driver_index);
// format points at a bitmap info header of size bytes.
bool CapSetVideoFormat(CaptureWindow& window, const void* format, size_t size);
bool CapGrabFrame(CaptureWindow& window);
bool CapFileSaveDib(CaptureWindow& window, const char* path);
bool CapDriverDisconnect(CaptureWindow& window);
