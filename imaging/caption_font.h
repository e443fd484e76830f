#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/font_lookup.h"

// One pixel of a rendered text, relative to the top-left corner of the text's cell.
struct InkPixel {
  int32_t x;
  int32_t y;
};

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

  // The ink of utf8_text (bytes that are not UTF-8 count as Latin-1), without kerning, as the
  // platform draws a string. Each distinct character is rendered once.
  std::vector<InkPixel> Render(const std::string& utf8_text);

 private:
  struct Library;
  struct Glyph;
  const Glyph& RenderGlyph(char32_t character);

  std::unique_ptr<Library> library_;
  bool synthetic_bold_ = false;
  int32_t line_height_ = 0;
  int32_t ascender_ = 0;
  std::vector<Glyph> glyphs_;
};
