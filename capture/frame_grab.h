#pragma once

#include <memory>

#include "capture/video_capture.h"
#include "cgi/request_options.h"

// The capture stage of a run: connect capture driver 1, take one frame into a BMP file, disconnect.
// Failures are quiet; with STILLCAM_VERBOSE=1 each says why in one line on stderr.
class FrameGrab {
 public:
  // Drivers as the administrator set them up in the environment (STILLCAM_DEVICE, STILLCAM_SKIP_FRAMES).
  FrameGrab();
  FrameGrab(CaptureDrivers drivers, bool verbose);

  bool Open(const SnapshotOptions& options);
  bool TakeFrame(const SnapshotOptions& options, const char* frame_path);
  void Close();

  // The capture window, once Open made it.
  const CaptureWindow* window() const { return window_.get(); }

 private:
  bool Quietly(bool result) const;

  CaptureDrivers drivers_;
  bool verbose_;
  std::unique_ptr<CaptureWindow> window_;
};

// Reads STILLCAM_DEVICE and STILLCAM_SKIP_FRAMES.
CaptureDrivers CaptureDriversFromEnvironment();
