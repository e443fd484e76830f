#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How a BMP layout stores one pixel; the one place that reads and writes pixels, for the loader,
// the caption and the encoder alike.
// - Indexed (1, 4 or 8 bits): a palette index, pixels packed from the most significant bit of each
//   byte.
// - Packed (16, 24 or 32 bits): a little-endian value whose red, green and blue lie under three
//   masks; 24 bits are blue, green, red bytes (masks 0xFF0000, 0x00FF00, 0x0000FF). 5-5-5 and 5-6-5
//   are packed formats with their masks. Bits outside the masks (alpha, filler) are spare.
// Byte order is spelled out everywhere: nothing depends on the byte order of the machine.
class PixelFormat {
 public:
  // 24 bits, blue, green, red.
  PixelFormat();
  // The palette holds 0xRRGGBB entries; it is padded with black to 2^bits entries, so that every
  // index a pixel can hold has a colour. Throws std::invalid_argument for other depths or too many
  // entries.
  static PixelFormat Indexed(uint16_t bits, std::vector<uint32_t> palette);
  // Throws std::invalid_argument unless bits is 16, 24 or 32 and the masks are usable: each a
  // non-empty run of bits inside the pixel, none overlapping another.
  static PixelFormat Packed(uint16_t bits, uint32_t red_mask, uint32_t green_mask, uint32_t blue_mask);
  // Whether Packed would accept these masks.
  static bool UsableMasks(uint16_t bits, uint32_t red_mask, uint32_t green_mask, uint32_t blue_mask);

  uint16_t bits_per_pixel() const { return bits_; }
  bool indexed() const { return bits_ <= 8; }
  uint32_t red_mask() const { return masks_[0]; }
  uint32_t green_mask() const { return masks_[1]; }
  uint32_t blue_mask() const { return masks_[2]; }
  // Bits of a packed value outside the colours; painting a colour leaves them as they were.
  uint32_t spare_bits() const { return spare_; }
  const std::vector<uint32_t>& palette() const { return palette_; }
  // Bytes of a stored row of width pixels: padded to 4 bytes, as BMP rows are.
  size_t Stride(int32_t width) const;

  // The stored value of pixel x of a row: the palette index, or the packed value.
  uint32_t Load(const uint8_t* row, size_t x) const {
    if (indexed()) {
      size_t bit = x * bits_;
      return (row[bit / 8] >> (8 - bits_ - bit % 8)) & ((1u << bits_) - 1);
    }
    const size_t bytes = bits_ / 8;
    const uint8_t* at = row + x * bytes;
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= uint32_t{at[i]} << (8 * i);
    return value;
  }
  // Stores a value as Load returns it at pixel x; the rest of the row stays.
  void Store(uint8_t* row, size_t x, uint32_t value) const {
    if (indexed()) {
      size_t bit = x * bits_;
      unsigned shift = 8 - bits_ - static_cast<unsigned>(bit % 8);
      unsigned mask = ((1u << bits_) - 1) << shift;
      row[bit / 8] = static_cast<uint8_t>((row[bit / 8] & ~mask) | ((value << shift) & mask));
      return;
    }
    const size_t bytes = bits_ / 8;
    uint8_t* at = row + x * bytes;
    for (size_t i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  // A stored value as 0xRRGGBB, each channel widened to 8 bits (WidenChannel).
  uint32_t ToRgb(uint32_t value) const;
  // The stored value that shows 0xRRGGBB best: the nearest palette entry, or each channel cut to
  // the top bits its mask holds, as the platform reduces a colour for a 16-bit bitmap. Spare bits 0.
  uint32_t FromRgb(uint32_t rgb) const;

 private:
  uint16_t bits_ = 24;
  uint32_t masks_[3] = {0xFF0000, 0x00FF00, 0x0000FF};
  uint32_t spare_ = 0;
  std::vector<uint32_t> palette_;
};

// Converts rows of one format to 8-bit red, green, blue and a zero filler byte per pixel, the
// layout the encoder hands libjpeg. Tables are made once per frame; 5-5-5 and 5-6-5 rows, the
// usual capture formats, go through loops with fixed shifts that the compiler vectorises.
class RgbxRowConverter {
 public:
  explicit RgbxRowConverter(const PixelFormat& format);
  // Converts width pixels of row into out (width * 4 bytes).
  void Convert(const uint8_t* row, uint8_t* out, size_t width) const;

 private:
  enum class Kind { kRgb555, kRgb565, kPacked16, kPacked24, kPacked32, kIndexed };
  struct Channel {
    unsigned shift = 0;
    uint32_t mask = 0;
    uint8_t widen[256] = {};
  };
  template <size_t Bytes>
  void ConvertPacked(const uint8_t* row, uint8_t* out, size_t width) const;

  Kind kind_ = Kind::kPacked24;
  unsigned index_bits_ = 0;
  Channel channels_[3];
  uint8_t palette_[256][4] = {};
};

// Widens a channel of the given number of bits (1..32) to 8 bits: by bit replication below 8 bits,
// so that full scale stays full scale (5-bit 31 becomes 255), and by keeping the top bits above 8.
inline uint8_t WidenChannel(uint32_t value, unsigned bits) {
  if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
  uint32_t wide = 0;
  for (int shift = 8 - static_cast<int>(bits); shift > -static_cast<int>(bits);
       shift -= static_cast<int>(bits)) {
    wide |= shift >= 0 ? value << shift : value >> -shift;
  }
  return static_cast<uint8_t>(wide);
}
