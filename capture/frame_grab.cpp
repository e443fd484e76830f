#include "capture/frame_grab.h"

#include <cstdio>

#include "capture/bitmap_info_header.h"

namespace {

constexpr const char kWindowName[] = "My Own Capture Window";
constexpr int kCameraDriver = 1;

}  // namespace

FrameGrab::FrameGrab(CaptureDrivers drivers, bool verbose)
    : drivers_(std::move(drivers)), verbose_(verbose) {}

bool FrameGrab::Quietly(bool result) const {
  // A window without a failure gave way to another run's picture: nothing went wrong.
  if (!result && verbose_ && !(window_ && window_->failure.empty())) {
    const char* why = window_ ? window_->failure.c_str() : "no capture window";
    std::fprintf(stderr, "stillcam: %s\n", why);
  }
  return result;
}

bool FrameGrab::Open(int32_t frame_width, int32_t frame_height) {
  window_ = CreateCaptureWindow(kWindowName, kCaptureWindowStyle, 0, 0, frame_width, frame_height,
                                DesktopWindow(), kCaptureWindowId, drivers_);
  if (!window_) return Quietly(false);
  return Quietly(CapDriverConnect(*window_, kCameraDriver));
}

bool FrameGrab::TakeFrame(int32_t frame_width, int32_t frame_height, const char* frame_path) {
  BitmapInfoHeader format = RequestedFrameFormat(frame_width, frame_height);
  CapSetVideoFormat(*window_, &format, sizeof format);  // whatever the answer: the frame file tells
  if (!CapGrabFrame(*window_)) return Quietly(false);
  return Quietly(CapFileSaveDib(*window_, frame_path));
}

void FrameGrab::Close() {
  if (window_) CapDriverDisconnect(*window_);
}

std::optional<FrameOrigin> FrameGrab::origin() const {
  if (!window_ || !window_->driver) return std::nullopt;
  return window_->driver->origin();
}
