#include "tests/imaging/bmp_fixture.h"

#include <cstdlib>

#include "imaging/pixel_format.h"

namespace {

void AppendLe(std::string& bytes, uint32_t value, int count) {
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Packs a raw value as the pixel model stores it; any depth a fixture may claim, hostile ones too.
void StoreRaw(uint16_t bits, uint8_t* row, size_t x, uint32_t value) {
  if (bits == 1 || bits == 4 || bits == 8) {
    PixelFormat::Indexed(bits, {}).Store(row, x, value);
  } else if (bits == 16 || bits == 24 || bits == 32) {
    PixelFormat::Packed(bits, 0x4, 0x2, 0x1).Store(row, x, value);  // storing a raw value needs no masks
  }
}

}  // namespace

void PutLe16(std::string& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

void PutLe32(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[offset + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::vector<uint32_t> Uniform(int32_t width, int32_t height, uint32_t value) {
  return std::vector<uint32_t>(static_cast<size_t>(width) * static_cast<size_t>(std::abs(height)), value);
}

std::string MakeBmp(const BmpFixture& fixture) {
  size_t rows = static_cast<size_t>(std::abs(fixture.height));
  size_t width = static_cast<size_t>(fixture.width < 0 ? 0 : fixture.width);
  size_t stride = (width * fixture.bits + 31) / 32 * 4;
  bool separate_masks = fixture.compression == 3 && fixture.info_size == 40;
  size_t offset = 14 + fixture.info_size + (separate_masks ? 12 : 0) + fixture.palette.size() * 4;

  std::string bytes = "BM";
  AppendLe(bytes, static_cast<uint32_t>(offset + stride * rows), 4);
  AppendLe(bytes, 0, 4);
  AppendLe(bytes, static_cast<uint32_t>(offset), 4);
  std::string info(fixture.info_size, '\0');
  PutLe32(info, 0, fixture.info_size);
  PutLe32(info, 4, static_cast<uint32_t>(fixture.width));
  PutLe32(info, 8, static_cast<uint32_t>(fixture.height));
  PutLe16(info, 12, fixture.planes);
  PutLe16(info, 14, fixture.bits);
  PutLe32(info, 16, fixture.compression);
  PutLe32(info, 20, static_cast<uint32_t>(stride * rows));
  PutLe32(info, 32, fixture.colours_used);
  if (fixture.compression == 3 && !separate_masks) {
    for (size_t i = 0; i < fixture.masks.size() && 40 + i * 4 + 4 <= info.size(); ++i) {
      PutLe32(info, 40 + i * 4, fixture.masks[i]);
    }
  }
  bytes += info;
  if (separate_masks) {
    for (uint32_t mask : fixture.masks) AppendLe(bytes, mask, 4);
  }
  for (uint32_t colour : fixture.palette) AppendLe(bytes, colour, 4);

  for (size_t stored = 0; stored < rows; ++stored) {
    size_t y = fixture.height < 0 ? stored : rows - 1 - stored;
    std::string row(stride, '\0');
    for (size_t x = 0; x < width; ++x) {
      size_t index = y * width + x;
      uint32_t value = index < fixture.pixels.size() ? fixture.pixels[index] : 0;
      StoreRaw(fixture.bits, reinterpret_cast<uint8_t*>(row.data()), x, value);
    }
    bytes += row;
  }
  return bytes;
}
