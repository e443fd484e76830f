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

// The file in writes that each end at a 64 KB boundary of the file. The page cache keeps the file
// in blocks no larger than a write, and a mapping of it takes in a whole block at its first touch:
// written at once, a large frame would be mapped all at once when the caption touches its first
// row, and the encoder could not give back the rows it is done with. The pieces are consumed.
class BoundedWrites {
 public:
  static constexpr size_t kBlock = size_t{64} * 1024;

  explicit BoundedWrites(size_t pieces) { pieces_.reserve(pieces); }

  void Add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const size_t part = std::min(size, next_end_ - offset_);
      BytePiece* last = pieces_.size() > write_start_ ? &pieces_.back() : nullptr;
      // Rows that follow each other in memory go out as one piece.
      if (last != nullptr && static_cast<const uint8_t*>(last->data) + last->size == bytes) {
        last->size += part;
      } else {
        pieces_.push_back({bytes, part});
      }
      bytes += part;
      size -= part;
      offset_ += part;
      if (offset_ == next_end_) EndWrite();
    }
  }

  bool WriteTo(int fd) {
    EndWrite();
    size_t start = 0;
    for (size_t end : write_ends_) {
      if (!WriteAllPieces(fd, pieces_.data() + start, end - start)) return false;
      start = end;
    }
    return true;
  }

 private:
  void EndWrite() {
    if (pieces_.size() > write_start_) write_ends_.push_back(write_start_ = pieces_.size());
    next_end_ = offset_ + kBlock;
  }

  std::vector<BytePiece> pieces_;
  std::vector<size_t> write_ends_;  // one past the last piece of each write
  size_t write_start_ = 0;
  size_t offset_ = 0;
  size_t next_end_ = kBlock;
};

// Headers and rows. row(i) gives the i-th row from the bottom.
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

  // The pixels are written from where they are, without a copy.
  static const uint8_t kPadding[3] = {};
  const size_t padding = padded_row - row_bytes;
  // A piece per row and its padding, at most, and one more at each end of a write.
  BoundedWrites writes(2 + height_rows * (padding > 0 ? 2 : 1) + image_size / BoundedWrites::kBlock * 2);
  writes.Add(headers, kHeadersSize);
  for (size_t file_row = 0; file_row < height_rows; ++file_row) {
    writes.Add(row(file_row), row_bytes);
    if (padding > 0) writes.Add(kPadding, padding);
  }

  RewrittenFile file(path);
  return file.fd() >= 0 && writes.WriteTo(file.fd()) && file.Finish();
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
