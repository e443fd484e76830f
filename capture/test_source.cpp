#include "capture/test_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/bmp_writer.h"

namespace {

constexpr int32_t kLargestSide = 8192;
constexpr uint32_t kBars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
constexpr int kBarCount = sizeof kBars / sizeof kBars[0];
constexpr uint32_t kTopBand = 0x808080;

// Stores one 0xRRGGBB colour as a pixel of the given depth, little-endian as a BMP holds it.
void PutPixel(uint8_t* at, uint32_t rgb, uint16_t bits_per_pixel) {
  const uint32_t red = rgb >> 16 & 0xFF, green = rgb >> 8 & 0xFF, blue = rgb & 0xFF;
  if (bits_per_pixel == 16) {
    const uint32_t packed = (red >> 3) << 10 | (green >> 3) << 5 | (blue >> 3);
    at[0] = static_cast<uint8_t>(packed);
    at[1] = static_cast<uint8_t>(packed >> 8);
  } else {
    at[0] = static_cast<uint8_t>(blue);
    at[1] = static_cast<uint8_t>(green);
    at[2] = static_cast<uint8_t>(red);
  }
}

}  // namespace

void TestSource::SetFormat(const BitmapInfoHeader& wanted) {
  width_ = wanted.biWidth;
  height_ = wanted.biHeight;
  bits_per_pixel_ = wanted.biBitCount == 24 ? 24 : 16;
}

bool TestSource::Grab() {
  if (width_ <= 0 || height_ <= 0 || width_ > kLargestSide || height_ > kLargestSide)
    return Fail("test source: cannot draw a frame of " + std::to_string(width_) + "x" +
                std::to_string(height_));
  const size_t pixel_bytes = bits_per_pixel_ / 8;
  bar_row_.resize(static_cast<size_t>(width_) * pixel_bytes);
  band_row_.resize(bar_row_.size());
  for (int32_t x = 0; x < width_; ++x) {
    PutPixel(&bar_row_[x * pixel_bytes], kBars[x * kBarCount / width_], bits_per_pixel_);
    PutPixel(&band_row_[x * pixel_bytes], kTopBand, bits_per_pixel_);
  }
  // Bottom-up: the bars first, the grey band over the top quarter last.
  const int32_t bar_rows = height_ - height_ / 4;
  bottom_up_rows_.assign(static_cast<size_t>(height_), band_row_.data());
  std::fill_n(bottom_up_rows_.begin(), bar_rows, bar_row_.data());
  return true;
}

bool TestSource::SaveFrame(const char* path) {
  if (bottom_up_rows_.empty()) return Fail("test source: no frame taken");
  if (!WriteBmpRows(path, width_, height_, bits_per_pixel_, bottom_up_rows_.data()))
    return Fail(std::string("cannot write the frame file: ") + std::strerror(errno));
  return true;
}
