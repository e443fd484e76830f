#pragma once

#include <string>

#include "capture/v4l2_io.h"

// On Linux the system's drivers are the V4L2 nodes that capture video, in /dev/videoN order; a named
// driver is a device path.
struct SystemDrivers {
  const V4l2Io* io = &LibV4l2Io();
  std::string device_folder = "/dev";
  V4l2Timeouts timeouts;
};

// Linux has no desktop window; the handle only keeps the window's description complete.
inline constexpr WindowHandle kDesktopWindow = 1;
