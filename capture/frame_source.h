#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/bitmap_info_header.h"

// Asked while a run waits for a camera that another run holds, with the camera's path: true ends
// the wait, and the connection fails with an empty failure (the caller has answered otherwise).
using GiveWay = std::function<bool(const std::string& device)>;

// Where and when the last frame was taken, for a camera that other runs may be waiting for.
struct FrameOrigin {
  std::string device;
  int64_t taken_ns = 0;  // MonotonicNanoseconds(); no later than the moment the frame was taken
};

// What stands behind a connected capture driver: something that takes a frame and stores it as a
// BMP file. Every handle a source holds is released when it is destroyed.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  // Asks for a format; a source may deliver another one, and says so only through the file it writes.
  virtual void SetFormat(const BitmapInfoHeader& wanted) = 0;
  // Takes one frame and keeps it until the next grab.
  virtual bool Grab() = 0;
  // Writes the last frame taken to path, creating or replacing it.
  virtual bool SaveFrame(const char* path) = 0;

  // Set after a successful Grab by sources that other runs wait for (cameras), empty otherwise.
  virtual std::optional<FrameOrigin> origin() const { return std::nullopt; }

  // Why the last operation failed, in a few words for the server's error log.
  const std::string& failure() const { return failure_; }

 protected:
  // failure: where the source says why an operation failed; the capture window's own, which outlives it.
  explicit FrameSource(std::string& failure) : failure_(failure) {}

  bool Fail(std::string why) {
    failure_ = std::move(why);
    return false;
  }

 private:
  std::string& failure_;
};
