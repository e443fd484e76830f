#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A JPEG as libjpeg decodes it: RGB samples, rows from the top. ok is false when libjpeg refused it.
struct DecodedJpeg {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  bool progressive = false;
  std::vector<uint8_t> rgb;

  // The pixel at (x, y) as 0xRRGGBB.
  uint32_t At(int x, int y) const;
};

DecodedJpeg DecodeJpeg(const std::string& bytes);

// True when every channel of a and b (0xRRGGBB) differs by at most tolerance.
bool ColoursNear(uint32_t a, uint32_t b, int tolerance);
