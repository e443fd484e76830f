#include "imaging/bmp_reader.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kMaxInfoHeaderBytes = 124;
constexpr size_t kMaskBytes = 12;
constexpr size_t kMaxPaletteBytes = size_t{256} * 4;
// Everything before the pixel data that we ever look at.
constexpr size_t kMaxHeadBytes = kFileHeaderBytes + kMaxInfoHeaderBytes + kMaskBytes + kMaxPaletteBytes;
// Far beyond any capture device; keeps a hostile header from asking for gigabytes.
constexpr uint64_t kMaxPixels = uint64_t{64} << 20;

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5 };

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// What the headers say: the frame's size and format, and where its pixel data lies.
struct Layout {
  int32_t width = 0;
  int32_t height = 0;
  PixelFormat format;
  RowOrder order = RowOrder::kBottomUp;
  size_t pixel_offset = 0;
  size_t pixel_bytes = 0;
};

// Reads the headers and the colour table from head (the file's first head_size bytes, all of it when
// the file is shorter than kMaxHeadBytes).
Layout ParseHeaders(const uint8_t* head, size_t head_size, uint64_t file_size) {
  Layout layout;
  if (head_size < 2 || head[0] != 'B' || head[1] != 'M') Fail("not a BMP file");
  if (head_size < kFileHeaderBytes + 4) Fail("truncated BMP header");
  uint32_t pixel_offset = Le32(head + 10);
  uint32_t info_size = Le32(head + 14);
  if (info_size != 40 && info_size != 52 && info_size != 56 && info_size != 108 && info_size != 124) {
    Fail("unsupported BMP header size " + std::to_string(info_size));
  }
  if (head_size < kFileHeaderBytes + info_size) Fail("truncated BMP header");
  const uint8_t* info = head + kFileHeaderBytes;
  auto width = static_cast<int32_t>(Le32(info + 4));
  auto height = static_cast<int32_t>(Le32(info + 8));
  uint16_t planes = Le16(info + 12);
  uint16_t bits = Le16(info + 14);
  uint32_t compression = Le32(info + 16);
  uint32_t colours_used = Le32(info + 32);

  if (planes != 1) Fail("bad BMP plane count " + std::to_string(static_cast<int16_t>(planes)));
  if (compression == kRle8 || compression == kRle4) Fail("RLE-compressed BMP is not supported");
  if (compression == kJpeg || compression == kPng) Fail("BMP with embedded JPEG or PNG is not supported");
  if (compression != kRgb && compression != kBitFields) {
    Fail("unsupported BMP compression " + std::to_string(compression));
  }
  bool known_depth = compression == kRgb
                         ? (bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32)
                         : (bits == 16 || bits == 32);
  if (!known_depth) Fail("unsupported BMP depth of " + std::to_string(bits) + " bits per pixel");
  if (width < 0) Fail("BMP width is negative");
  if (height == INT32_MIN) Fail("BMP height out of range");
  layout.order = height >= 0 ? RowOrder::kBottomUp : RowOrder::kTopDown;
  if (height < 0) height = -height;
  if (uint64_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height) > kMaxPixels) {
    Fail("BMP of " + std::to_string(width) + "x" + std::to_string(height) + " pixels is too large");
  }
  size_t table_offset = kFileHeaderBytes + info_size;
  if (compression == kBitFields) {
    const uint8_t* masks = info + 40;
    if (info_size == 40) {
      if (head_size < table_offset + kMaskBytes) Fail("BMP bit-field masks do not fit");
      table_offset += kMaskBytes;
    }
    uint32_t red = Le32(masks), green = Le32(masks + 4), blue = Le32(masks + 8);
    if (!PixelFormat::UsableMasks(bits, red, green, blue)) Fail("BMP bit-field masks are unusable");
    layout.format = PixelFormat::Packed(bits, red, green, blue);
  } else if (bits == 16) {
    layout.format = PixelFormat::Packed(16, 0x7C00, 0x03E0, 0x001F);
  } else if (bits == 24 || bits == 32) {
    layout.format = PixelFormat::Packed(bits, 0xFF0000, 0x00FF00, 0x0000FF);
  }

  size_t table_end = table_offset;
  if (bits <= 8) {
    uint32_t capacity = 1u << bits;
    if (colours_used > capacity) {
      Fail("BMP colour table of " + std::to_string(colours_used) + " entries for " + std::to_string(bits) +
           "-bit pixels");
    }
    uint32_t entries = colours_used == 0 ? capacity : colours_used;
    table_end = table_offset + size_t{entries} * 4;
    if (table_end > head_size) Fail("BMP colour table does not fit");
    std::vector<uint32_t> palette(entries);
    for (uint32_t i = 0; i < entries; ++i) palette[i] = Le32(head + table_offset + size_t{i} * 4);
    layout.format = PixelFormat::Indexed(bits, std::move(palette));
  }
  if (pixel_offset < table_end) Fail("BMP colour table does not fit before the pixel data");

  if (width == 0 || height == 0) return {};
  layout.width = width;
  layout.height = height;
  layout.pixel_offset = pixel_offset;
  layout.pixel_bytes = layout.format.Stride(width) * static_cast<size_t>(height);
  if (pixel_offset > file_size || layout.pixel_bytes > file_size - pixel_offset) {
    Fail("truncated BMP pixel data (" + std::to_string(layout.pixel_bytes) + " bytes needed at offset " +
         std::to_string(pixel_offset) + ", file has " + std::to_string(file_size) + ")");
  }
  return layout;
}

// Reads exactly size bytes at offset; false at end of file, throws on a read error.
bool ReadExactly(int fd, uint8_t* into, size_t size, uint64_t offset) {
  while (size > 0) {
    long got = ReadSomeAt(fd, into, size, offset);
    if (got < 0) Fail(std::string("cannot read frame file: ") + std::strerror(errno));
    if (got == 0) return false;
    into += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

FrameBitmap ParseFrameBitmap(const uint8_t* data, size_t size) {
  Layout layout = ParseHeaders(data, size < kMaxHeadBytes ? size : kMaxHeadBytes, size);
  if (layout.pixel_bytes == 0) return {};
  PixelBuffer rows(data + layout.pixel_offset, data + layout.pixel_offset + layout.pixel_bytes);
  return FrameBitmap(layout.width, layout.height, std::move(layout.format), layout.order, std::move(rows));
}

FrameBitmap LoadFrameBitmap(const char* path) {
  UniqueFd file(OpenForReading(path, false));
  if (file.get() < 0) Fail(std::string("cannot open frame file: ") + std::strerror(errno));
  FileFacts facts;
  if (!ReadFileFacts(file.get(), facts)) Fail(std::string("cannot stat frame file: ") + std::strerror(errno));
  if (!facts.regular) Fail("frame file is not a regular file");
  const uint64_t file_size = facts.size;

  uint8_t head[kMaxHeadBytes];
  size_t head_size = file_size < kMaxHeadBytes ? static_cast<size_t>(file_size) : kMaxHeadBytes;
  if (!ReadExactly(file.get(), head, head_size, 0)) Fail("frame file shrank while being read");

  Layout layout = ParseHeaders(head, head_size, file_size);
  if (layout.pixel_bytes == 0) return {};
  // The pixel data stays where it is, in the file's own row order. The frame file is this run's own
  // (it has no name anyone else could open), so nothing else can cut it short while it is mapped.
  MappedPixels rows(file.get(), layout.pixel_offset, layout.pixel_bytes);
  return FrameBitmap(layout.width, layout.height, std::move(layout.format), layout.order, std::move(rows));
}
