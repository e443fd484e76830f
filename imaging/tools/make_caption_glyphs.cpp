// Renders the caption's glyphs at build time into a C++ source file that the program compiles in:
//
//   make_caption_glyphs REGULAR.ttf BOLD.ttf OUTPUT.cpp
//
// Every code point below kCharacterCount is rendered with CaptionFont, the renderer a run uses when
// it has to load a font itself, so that the table holds exactly the pixels the run would draw.
// Runs on the build host; a cross build takes the output of a host build (see imaging/CMakeLists.txt).
#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/caption_font.h"

namespace {

// Basic Latin, Latin-1 and Latin Extended-A: the month names of the C locale and of the Western and
// Central European languages.
constexpr char32_t kCharacterCount = 0x180;

// Writes one face's arrays and returns the initialiser of its BuiltInFace.
std::string WriteFace(std::ostream& out, const std::string& path, bool bold) {
  CaptionFont font({path, "build"}, bold);
  const std::string name = bold ? "Bold" : "Regular";
  std::ostringstream glyphs;
  std::vector<uint32_t> rows;
  for (char32_t character = 0; character < kCharacterCount; ++character) {
    const GlyphInk& glyph = font.Glyph(character);
    int32_t left = 0, right = -1, top = 0, bottom = -1;
    if (!glyph.ink.empty()) {
      left = top = INT32_MAX;
      right = bottom = INT32_MIN;
      for (InkPixel pixel : glyph.ink) {
        left = std::min(left, pixel.x);
        right = std::max(right, pixel.x);
        top = std::min(top, pixel.y);
        bottom = std::max(bottom, pixel.y);
      }
    }
    const int32_t width = right - left + 1;
    const int32_t height = bottom - top + 1;
    if (width > 32) throw std::runtime_error("glyph wider than 32 pixels in " + path);
    const size_t first_row = rows.size();
    rows.resize(rows.size() + static_cast<size_t>(height), 0);
    for (InkPixel pixel : glyph.ink) {
      rows[first_row + static_cast<size_t>(pixel.y - top)] |= uint32_t{1} << (pixel.x - left);
    }
    glyphs << "    {" << glyph.advance << ", " << left << ", " << top << ", " << width << ", " << height
           << ", " << first_row << "},  // U+" << std::hex << static_cast<uint32_t>(character) << std::dec
           << "\n";
  }
  out << "constexpr uint32_t k" << name << "Rows[] = {";
  for (size_t i = 0; i < rows.size(); ++i)
    out << (i % 8 == 0 ? "\n    " : " ") << "0x" << std::hex << rows[i] << std::dec << "u,";
  out << "\n};\n\nconstexpr BuiltInGlyph k" << name << "Glyphs[] = {\n" << glyphs.str() << "};\n\n";
  std::ostringstream face;
  face << "{" << font.Ascender() << ", " << font.LineHeight() << ", "
       << static_cast<uint32_t>(kCharacterCount) << ", k" << name << "Glyphs, k" << name << "Rows}";
  return face.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_caption_glyphs REGULAR.ttf BOLD.ttf OUTPUT.cpp\n");
    return 2;
  }
  try {
    std::ostringstream out;
    out << "// Generated at build time by make_caption_glyphs from " << argv[1] << " and " << argv[2]
        << ". Not to be edited.\n#include \"imaging/caption_glyph_table.h\"\n\nnamespace {\n\n";
    std::string regular = WriteFace(out, argv[1], false);
    std::string bold = WriteFace(out, argv[2], true);
    out << "constexpr BuiltInFace kRegular" << regular << ";\nconstexpr BuiltInFace kBold" << bold
        << ";\n\n}  // namespace\n\nconst BuiltInFace& BuiltInCaptionFace(bool bold) { return bold ? kBold : "
           "kRegular; }\n";
    // Written whole or not at all, so that an interrupted build leaves no half table behind.
    const std::string temporary = std::string(argv[3]) + ".partial";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.close();
    if (!file || std::rename(temporary.c_str(), argv[3]) != 0) {
      std::fprintf(stderr, "make_caption_glyphs: cannot write %s\n", argv[3]);
      return 1;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_caption_glyphs: %s\n", error.what());
    return 1;
  }
  return 0;
}
