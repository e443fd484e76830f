#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Describes a small BMP file for tests; MakeBmp lays it out byte by byte as the format defines.
struct BmpFixture {
  int32_t width = 3;
  int32_t height = 2;  // negative: rows stored top-down
  uint16_t bits = 24;
  uint32_t compression = 0;  // 0 BI_RGB, 3 BI_BITFIELDS
  uint32_t info_size = 40;
  uint16_t planes = 1;
  std::vector<uint32_t> masks;    // red, green, blue: written for BI_BITFIELDS
  std::vector<uint32_t> palette;  // 0xRRGGBB entries, written as the colour table
  uint32_t colours_used = 0;
  // Raw pixel values (palette index, packed 16/32-bit value, or 0xRRGGBB for 24 bits),
  // rows from the top, width * |height| of them; missing values are 0.
  std::vector<uint32_t> pixels;
};

std::string MakeBmp(const BmpFixture& fixture);

// A uniform frame of width x height in the given layout, every pixel the raw value.
std::vector<uint32_t> Uniform(int32_t width, int32_t height, uint32_t value);

void PutLe16(std::string& bytes, size_t offset, uint16_t value);
void PutLe32(std::string& bytes, size_t offset, uint32_t value);
