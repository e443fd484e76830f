// The glyphs built into the program against FreeType rendering the same font as a run would.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "imaging/caption_font.h"
#include "imaging/caption_glyph_table.h"
#include "imaging/caption_ink.h"
#include "imaging/font_lookup.h"

namespace {

using Points = std::vector<std::pair<int32_t, int32_t>>;

Points Sorted(const std::vector<InkPixel>& ink) {
  Points points;
  for (InkPixel pixel : ink) points.push_back({pixel.x, pixel.y});
  std::sort(points.begin(), points.end());
  return points;
}

class BuiltInGlyphs : public testing::TestWithParam<bool> {
 protected:
  bool bold() const { return GetParam(); }
};

// Every glyph in the table: the same advance and the same ink as FreeType gives now; the same line.
TEST_P(BuiltInGlyphs, EqualALiveFreeTypeRender) {
  CaptionFont font(FindCaptionFont({}, bold()), bold());  // the default font, as a run finds it
  const BuiltInFace& face = BuiltInCaptionFace(bold());
  EXPECT_EQ(face.ascender, font.Ascender());
  EXPECT_EQ(face.line_height, font.LineHeight());
  ASSERT_GE(face.character_count, 0x100u) << "ASCII and Latin-1 at least";
  size_t inked = 0;
  for (char32_t character = 0; character < face.character_count; ++character) {
    SCOPED_TRACE("U+" + std::to_string(static_cast<uint32_t>(character)));
    const GlyphInk& live = font.Glyph(character);
    // A glyph alone on a line, drawn at pen position 0: its ink shifted down by the ascender.
    std::optional<CaptionInk> built_in = RenderBuiltInCaption(std::u32string(1, character), bold());
    ASSERT_TRUE(built_in);
    std::vector<InkPixel> expected;
    for (InkPixel pixel : live.ink) expected.push_back({pixel.x, font.Ascender() + pixel.y});
    ASSERT_EQ(Sorted(built_in->ink), Sorted(expected));
    EXPECT_EQ(face.glyphs[character].advance, live.advance);
    inked += !live.ink.empty();
  }
  EXPECT_GT(inked, 0x150u) << "the table is of real glyphs";
}

// Whole captions: the pens advance alike, whichever way the glyphs come.
TEST_P(BuiltInGlyphs, CaptionsAsFreeTypeDrawsThem) {
  CaptionFont font(FindCaptionFont({}, bold()), bold());  // the default font, as a run finds it
  for (const char* text : {" 2024-Mar-03  09:07 ", " 1999-Dec-31  23:59 ", " 2024-M\xC3\xA4r-03  09:07 ",
                           " 2024-f\xE9v-03  09:07 ", " 2024-pa\xC5\xBA-03  09:07 ", "WWW@@@|||...///"}) {
    SCOPED_TRACE(text);
    std::optional<CaptionInk> built_in = RenderBuiltInCaption(DecodeCaptionText(text), bold());
    ASSERT_TRUE(built_in);
    EXPECT_EQ(Sorted(built_in->ink), Sorted(font.Render(text)));
    CaptionInk drawn = RenderCaptionInk(text, bold(), {});
    EXPECT_EQ(Sorted(drawn.ink), Sorted(font.Render(text)));
    EXPECT_EQ(drawn.line_height, font.LineHeight());
  }
}

// A month name in a script the table lacks is rendered by FreeType, the built-in glyphs refusing it
// rather than drawing part of it.
TEST_P(BuiltInGlyphs, OtherScriptsGoThroughFreeType) {
  CaptionFont font(FindCaptionFont({}, bold()), bold());  // the default font, as a run finds it
  for (const char* text :
       {" 2024-\xD0\xBC\xD0\xB0\xD1\x80-03  09:07 ", " 2024-\xCE\x9C\xCE\xB1\xCF\x81-03  09:07 "}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(RenderBuiltInCaption(DecodeCaptionText(text), bold()));
    CaptionInk drawn = RenderCaptionInk(text, bold(), {});
    EXPECT_EQ(Sorted(drawn.ink), Sorted(font.Render(text)));
    EXPECT_EQ(drawn.line_height, font.LineHeight());
  }
}

INSTANTIATE_TEST_SUITE_P(Weights, BuiltInGlyphs, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) {
                           return param.param ? "Bold" : "Regular";
                         });

}  // namespace
