#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/frame_source.h"

// The capture drivers the operating system offers, at capture indices 1, 2, ...: one implementation
// per system, chosen by the build. Each system's header defines SystemDrivers, what a run may set
// about them (tests put their seams there).
using WindowHandle = uintptr_t;

#if defined(_WIN32)
#include "capture/vfw_drivers.h"
#else
#include "capture/v4l2_drivers.h"
#endif

struct CaptureWindow;

// The desktop window, the capture window's parent.
WindowHandle DesktopWindow();

// Connects the system's driver `number` (1 is the first) for the window. Null when it is not there
// or cannot be used; the window's failure then says why. A source made here writes its own reasons
// into the window's failure (FrameSource's constructor) for as long as it lives.
std::unique_ptr<FrameSource> ConnectSystemDriver(CaptureWindow& window, int number);

// Connects a driver the administrator named in the system's own terms (anything but "test" and
// "file:PATH").
std::unique_ptr<FrameSource> ConnectNamedSystemDriver(CaptureWindow& window, const std::string& name);
