#pragma once

#include <string>

#include "capture/bitmap_info_header.h"

// What stands behind a connected capture driver: something that takes a frame and stores it as a
// BMP file. Every handle a source holds is released when it is destroyed.
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Asks for a format; a source may deliver another one, and says so only through the file it writes.
  virtual void SetFormat(const BitmapInfoHeader& wanted) = 0;
  // Takes one frame and keeps it until the next grab.
  virtual bool Grab() = 0;
  // Writes the last frame taken to path, creating or replacing it.
  virtual bool SaveFrame(const char* path) = 0;

  // Why the last operation failed, in a few words for the server's error log.
  const std::string& failure() const { return failure_; }

 protected:
  bool Fail(std::string why) {
    failure_ = std::move(why);
    return false;
  }

 private:
  std::string failure_;
};
