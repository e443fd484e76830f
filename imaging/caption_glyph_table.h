#pragma once

#include <cstdint>

// The caption's glyphs rendered when the program was built (DejaVu Sans at the caption's size, by
// the same FreeType rendering the run would do), so that a run needs neither a font file nor FreeType
// for the characters a caption usually has.

// One character: its advance and the box of its ink, stored as rows of bits.
struct BuiltInGlyph {
  int32_t advance;     // in 26.6 pixels
  int16_t left;        // the box's left column, from the pen position
  int16_t top;         // the box's top row, from the baseline (negative above it)
  uint16_t width;      // columns of the box, at most 32
  uint16_t rows;       // rows of the box
  uint32_t first_row;  // index of the box's top row in the face's row bits
};

// One weight: glyphs for the code points below character_count, indexed by code point.
struct BuiltInFace {
  int32_t ascender;     // from the top of a line to its baseline, in whole pixels
  int32_t line_height;  // ascender minus descender, in whole pixels
  uint32_t character_count;
  const BuiltInGlyph* glyphs;
  const uint32_t* row_bits;  // bit c of a row is column c of the box
};

// The built-in face of a weight; defined in the source file generated at build time.
const BuiltInFace& BuiltInCaptionFace(bool bold);
