#include "capture/bmp_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/platform.h"
#include "base/rewritten_file.h"

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;

void PutU16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  PutU16(at, value & 0xFFFF);
  PutU16(at + 2, value >> 16);
}

// Headers and rows, in as few writes as the kernel allows. row(i) gives the i-th row from the bottom.
template <typename RowAt>
bool WriteRows(const char* path, int32_t width, int32_t height, uint16_t bits_per_pixel, RowAt row) {
  const auto height_rows = static_cast<size_t>(height);
  const size_t row_bytes = static_cast<size_t>(width) * (bits_per_pixel / 8);
  const size_t padded_row = (row_bytes + 3) & ~size_t{3};
  const size_t image_size = padded_row * height_rows;

  uint8_t headers[kHeadersSize] = {};
  headers[0] = 'B';
  headers[1] = 'M';
  PutU32(headers + 2, static_cast<uint32_t>(kHeadersSize + image_size));
  PutU32(headers + 10, kHeadersSize);
  uint8_t* info = headers + kFileHeaderSize;
  PutU32(info + 0, kInfoHeaderSize);
  PutU32(info + 4, static_cast<uint32_t>(width));
  PutU32(info + 8, static_cast<uint32_t>(height));  // positive: bottom-up
  PutU16(info + 12, 1);
  PutU16(info + 14, bits_per_pixel);
  PutU32(info + 16, 0);  // BI_RGB; for 16 bits that means 5-5-5
  PutU32(info + 20, static_cast<uint32_t>(image_size));
  // Pixels per metre, palette sizes: zero, as cleared.

  // One vector per row (plus padding) in file order, so the pixels are written without a copy.
  static const uint8_t kPadding[3] = {};
  const size_t padding = padded_row - row_bytes;
  std::vector<BytePiece> vectors;
  vectors.reserve(1 + height_rows * (padding > 0 ? 2 : 1));
  vectors.push_back({headers, kHeadersSize});
  for (size_t file_row = 0; file_row < height_rows; ++file_row) {
    const uint8_t* pixels = row(file_row);
    // Rows that follow each other in memory go out as one piece.
    BytePiece& last = vectors.back();
    if (padding == 0 && vectors.size() > 1 && static_cast<const uint8_t*>(last.data) + last.size == pixels) {
      last.size += row_bytes;
    } else {
      vectors.push_back({pixels, row_bytes});
    }
    if (padding > 0) vectors.push_back({kPadding, padding});
  }

  RewrittenFile file(path);
  return file.fd() >= 0 && WriteAllPieces(file.fd(), vectors.data(), vectors.size()) && file.Finish();
}

// The file format stores sizes in 32 bits; 32767 per side keeps every product far from overflow.
bool Describable(int32_t width, int32_t height, uint16_t bits_per_pixel) {
  return (bits_per_pixel == 16 || bits_per_pixel == 24) && width > 0 && height > 0 && width <= 32767 &&
         height <= 32767;
}

}  // namespace

bool WriteBmpFile(const char* path, const BmpPixels& pixels) {
  const size_t row_bytes = static_cast<size_t>(std::max(pixels.width, 0)) * (pixels.bits_per_pixel / 8);
  if (!Describable(pixels.width, pixels.height, pixels.bits_per_pixel) || pixels.rows == nullptr ||
      pixels.stride < row_bytes) {
    errno = EINVAL;
    return false;
  }
  const auto last = static_cast<size_t>(pixels.height) - 1;
  return WriteRows(path, pixels.width, pixels.height, pixels.bits_per_pixel, [&](size_t file_row) {
    return pixels.rows + (pixels.top_down ? last - file_row : file_row) * pixels.stride;
  });
}

bool WriteBmpRows(const char* path, int32_t width, int32_t height, uint16_t bits_per_pixel,
                  const uint8_t* const* bottom_up_rows) {
  if (!Describable(width, height, bits_per_pixel) || bottom_up_rows == nullptr) {
    errno = EINVAL;
    return false;
  }
  for (int32_t row = 0; row < height; ++row) {
    if (bottom_up_rows[row] == nullptr) {
      errno = EINVAL;
      return false;
    }
  }
  return WriteRows(path, width, height, bits_per_pixel,
                   [&](size_t file_row) { return bottom_up_rows[file_row]; });
}
