#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/caption_font.h"
#include "imaging/font_lookup.h"

// A caption text as ink, and the height of its line (which places it).
struct CaptionInk {
  std::vector<InkPixel> ink;
  int32_t line_height = 0;
};

// Renders text in the caption's font. From the glyphs built into the program when they hold every
// character and no font file is named for the weight: then no file is opened and FreeType is not
// started. Otherwise with FreeType from the font FindCaptionFont gives; throws std::runtime_error
// when that font cannot be had.
CaptionInk RenderCaptionInk(const std::string& utf8_text, bool bold, const NamedFonts& fonts);

// The built-in glyphs alone; nothing when a character is not among them.
std::optional<CaptionInk> RenderBuiltInCaption(const std::u32string& text, bool bold);
