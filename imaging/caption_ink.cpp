#include "imaging/caption_ink.h"

#include "imaging/caption_glyph_table.h"

std::optional<CaptionInk> RenderBuiltInCaption(const std::u32string& text, bool bold) {
  const BuiltInFace& face = BuiltInCaptionFace(bold);
  InkLine line(face.ascender);
  for (char32_t character : text) {
    if (character >= face.character_count) return std::nullopt;
    const BuiltInGlyph& glyph = face.glyphs[character];
    for (uint16_t row = 0; row < glyph.rows; ++row) {
      uint32_t bits = face.row_bits[glyph.first_row + row];
      for (int32_t column = 0; bits != 0; ++column, bits >>= 1) {
        if (bits & 1) line.Put({glyph.left + column, glyph.top + row});
      }
    }
    line.Advance(glyph.advance);
  }
  return CaptionInk{line.Take(), face.line_height};
}

CaptionInk RenderCaptionInk(const std::string& utf8_text, bool bold, const NamedFonts& fonts) {
  std::u32string text = DecodeCaptionText(utf8_text);
  if (!NamesFontFor(fonts, bold)) {
    if (std::optional<CaptionInk> built_in = RenderBuiltInCaption(text, bold)) return std::move(*built_in);
  }
  CaptionFont font(FindCaptionFont(fonts, bold), bold);
  return CaptionInk{font.Render(utf8_text), font.LineHeight()};
}
