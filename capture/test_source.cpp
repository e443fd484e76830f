#include "capture/test_source.h"

#include <cerrno>
#include <cstring>

#include "imaging/bmp_writer.h"

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

// A row of bars is drawn once; every other row of the same band is a copy of it.
void FillRows(uint8_t* first, size_t count, size_t row_bytes) {
  for (size_t row = 1; row < count; ++row) std::memcpy(first + row * row_bytes, first, row_bytes);
}

}  // namespace

void TestSource::SetFormat(const BitmapInfoHeader& wanted) {
  width_ = wanted.biWidth;
  height_ = wanted.biHeight;
  bits_per_pixel_ = wanted.biBitCount == 24 ? 24 : 16;
}

bool TestSource::Grab() {
  if (width_ <= 0 || height_ <= 0 || width_ > kLargestSide || height_ > kLargestSide)
    return Fail("test source: cannot draw a frame of " + std::to_string(width_) + "x" + std::to_string(height_));
  const size_t pixel_bytes = bits_per_pixel_ / 8;
  const size_t row_bytes = static_cast<size_t>(width_) * pixel_bytes;
  const auto height = static_cast<size_t>(height_);
  rows_.resize(row_bytes * height);

  // Bottom-up: the bars come first, the grey band last.
  const size_t band_rows = height / 4;
  const size_t bar_rows = height - band_rows;
  uint8_t* bars = rows_.data();
  for (int32_t x = 0; x < width_; ++x) PutPixel(bars + x * pixel_bytes, kBars[x * kBarCount / width_], bits_per_pixel_);
  FillRows(bars, bar_rows, row_bytes);
  if (band_rows > 0) {
    uint8_t* band = rows_.data() + bar_rows * row_bytes;
    for (int32_t x = 0; x < width_; ++x) PutPixel(band + x * pixel_bytes, kTopBand, bits_per_pixel_);
    FillRows(band, band_rows, row_bytes);
  }
  return true;
}

bool TestSource::SaveFrame(const char* path) {
  if (rows_.empty()) return Fail("test source: no frame taken");
  BmpPixels pixels{width_, height_, bits_per_pixel_, rows_.data(), static_cast<size_t>(width_) * (bits_per_pixel_ / 8),
                   false};
  if (!WriteBmpFile(path, pixels)) return Fail(std::string("cannot write the frame file: ") + std::strerror(errno));
  return true;
}
