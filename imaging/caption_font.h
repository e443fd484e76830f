#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imaging/font_lookup.h"

// One pixel of a rendered text, relative to the top-left corner of the text's cell.
struct InkPixel {
  int32_t x;
  int32_t y;
};

// One character's rendering: how far it moves the pen, and its ink relative to the pen position on
// the baseline (y negative above it).
struct GlyphInk {
  int32_t advance = 0;  // in 26.6 pixels
  std::vector<InkPixel> ink;
};

// Lays glyphs out on one line as the platform draws a string: one after the other without kerning,
// each at its pen position rounded to whole pixels, the baseline ascender rows below the cell's top.
class InkLine {
 public:
  explicit InkLine(int32_t ascender) : ascender_(ascender) {}
  void Put(InkPixel glyph_pixel) {
    ink_.push_back({((pen_ + 32) >> 6) + glyph_pixel.x, ascender_ + glyph_pixel.y});
  }
  void Advance(int32_t advance) { pen_ += advance; }
  std::vector<InkPixel> Take() { return std::move(ink_); }

 private:
  int32_t ascender_;
  int32_t pen_ = 0;  // 26.6 pixels
  std::vector<InkPixel> ink_;
};

// Decodes UTF-8; a byte that does not start a valid sequence stands for itself (Latin-1), as a
// month name in a legacy 8-bit locale would.
std::u32string DecodeCaptionText(const std::string& text);

// The caption's typeface at the size of the platform's default GUI font (8 points at 96 dpi), loaded
// with FreeType and rendered without anti-aliasing, so that every pixel is either ink or untouched.
class CaptionFont {
 public:
  // Loads the file; bold asks for a bold face, emboldened synthetically when the file is not bold.
  // Throws std::runtime_error naming the file when it cannot be loaded.
  CaptionFont(const FontFile& file, bool bold);
  ~CaptionFont();
  CaptionFont(const CaptionFont&) = delete;
  CaptionFont& operator=(const CaptionFont&) = delete;

  // Height of a line of text: ascender minus descender, in whole pixels.
  int32_t LineHeight() const { return line_height_; }
  // From the top of a line to its baseline, in whole pixels.
  int32_t Ascender() const { return ascender_; }

  // The rendering of one character (the font's missing-glyph box when it has none; nothing at all
  // when FreeType cannot render it). Each character is rendered once.
  const GlyphInk& Glyph(char32_t character);

  // The ink of utf8_text (bytes that are not UTF-8 count as Latin-1), without kerning, as the
  // platform draws a string. Each distinct character is rendered once.
  std::vector<InkPixel> Render(const std::string& utf8_text);

 private:
  struct Library;
  GlyphInk RenderGlyph(char32_t character) const;

  std::unique_ptr<Library> library_;
  bool synthetic_bold_ = false;
  int32_t line_height_ = 0;
  int32_t ascender_ = 0;
  std::vector<std::pair<char32_t, GlyphInk>> glyphs_;
};
