#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/frame_source.h"

// The built-in source: colour bars at exactly the format asked for (16-bit 5-5-5 unless 24 bits are
// asked for). Left to right: white, yellow, cyan, green, magenta, red, blue, black; the top quarter
// is grey, so that a picture upside down or mirrored is plain to see.
class TestSource final : public FrameSource {
 public:
  explicit TestSource(std::string& failure) : FrameSource(failure) {}

  void SetFormat(const BitmapInfoHeader& wanted) override;
  bool Grab() override;
  bool SaveFrame(const char* path) override;

 private:
  int32_t width_ = 160;
  int32_t height_ = 120;
  uint16_t bits_per_pixel_ = 16;
  // Every row of the picture is one of two: a row of bars or a row of the grey band. Each is drawn
  // once and the frame is a list of which row goes where, bottom first as the file stores them.
  std::vector<uint8_t> bar_row_;
  std::vector<uint8_t> band_row_;
  std::vector<const uint8_t*> bottom_up_rows_;
};
