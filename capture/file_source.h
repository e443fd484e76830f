#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "capture/frame_source.h"

// A source that delivers one file's bytes unchanged as the frame file, whatever format was asked
// for: a fixed placeholder picture, or a driver that ignores the request, on demand.
class FileSource final : public FrameSource {
 public:
  FileSource(std::string path, std::string& failure) : FrameSource(failure), path_(std::move(path)) {}

  // Opens the file; a file that cannot be opened is a failed connection.
  bool Connect();
  void SetFormat(const BitmapInfoHeader&) override {}
  bool Grab() override;
  bool SaveFrame(const char* path) override;

 private:
  std::string path_;
  UniqueFd fd_;
  std::vector<uint8_t> bytes_;
};
