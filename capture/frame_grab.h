#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/video_capture.h"

// The capture stage of a run: connect capture driver 1, take one frame into a BMP file, disconnect.
// Failures are quiet, unless verbose: then each says why in one line on stderr.
class FrameGrab {
 public:
  // verbose: say why on stderr when the capture fails.
  FrameGrab(CaptureDrivers drivers, bool verbose);

  // The requested frame size is the capture window's size.
  bool Open(int32_t frame_width, int32_t frame_height);
  bool TakeFrame(int32_t frame_width, int32_t frame_height, const char* frame_path);
  void Close();

  // Where and when the frame was taken, after a successful TakeFrame from a camera.
  std::optional<FrameOrigin> origin() const;

  // The capture window, once Open made it.
  const CaptureWindow* window() const { return window_.get(); }

 private:
  bool Quietly(bool result) const;

  CaptureDrivers drivers_;
  bool verbose_;
  std::unique_ptr<CaptureWindow> window_;
};
