#pragma once

#include "cgi/request_options.h"

// The capture stage of a run: connect capture driver 1, take one frame into a BMP file, disconnect.
class FrameGrab {
 public:
  bool Open(const SnapshotOptions& options);
  bool TakeFrame(const SnapshotOptions& options, const char* frame_path);
  void Close();
};
