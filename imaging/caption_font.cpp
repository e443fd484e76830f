#include "imaging/caption_font.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "imaging/freetype_api.h"

namespace {

// The platform's default GUI font is 8 points at 96 dpi: an em of 11 pixels.
constexpr FT_UInt kEmPixels = 11;
// Far beyond any TrueType font with Latin glyphs; keeps a wrong path from mapping a disk image.
constexpr uint64_t kMaxFontBytes = uint64_t{64} << 20;

std::string FreeTypeProblem(const FreeTypeApi& freetype, FT_Error error) {
  if (error == FT_Err_Unknown_File_Format) return "not a font file";
  if (const char* text = freetype.error_string(error)) return text;
  return "FreeType error " + std::to_string(error);
}

// What loading a face from a file that is there and readable can fail on: the content.
std::string FaceProblem(const FreeTypeApi& freetype, FT_Error error) {
  if (error == FT_Err_Unknown_File_Format) return "not a font file";
  if (error == FT_Err_Out_Of_Memory) return FreeTypeProblem(freetype, error);
  return "damaged or unsupported font file (FreeType error " + std::to_string(error) + ")";
}

}  // namespace

struct CaptionFont::Library {
  FreeType freetype;  // outlives the rest
  MappedView file;    // the font file; the face reads from it while it lives
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  ~Library() {
    if (face != nullptr) freetype.api().done_face(face);
    if (library != nullptr) freetype.api().done_freetype(library);
    UnmapView(file);
  }
};

namespace {

// Maps the font file. We open it ourselves rather than let FreeType do it: a FIFO or a device named
// by mistake must fail at once instead of blocking the run or reading without end.
MappedView MapFontFile(const std::string& path, const std::string& where) {
  UniqueFd fd(OpenForReading(path.c_str(), false));
  if (!fd.valid()) throw std::runtime_error("cannot read " + where + ": " + std::strerror(errno));
  FileFacts facts;
  std::string problem;
  MappedView file;
  if (!ReadFileFacts(fd.get(), facts)) {
    problem = std::strerror(errno);
  } else if (!facts.regular) {
    problem = "not a regular file";
  } else if (facts.size == 0 || facts.size > kMaxFontBytes) {
    problem = "not a font file";
  } else {
    size_t lead = 0;
    file = MapFile(fd.get(), 0, static_cast<size_t>(facts.size), false, lead);
    if (file.base == nullptr) problem = std::strerror(errno);
  }
  if (!problem.empty()) throw std::runtime_error("cannot read " + where + ": " + problem);
  return file;
}

}  // namespace

CaptionFont::CaptionFont(const FontFile& file, bool bold) : library_(std::make_unique<Library>()) {
  std::string where = "font " + file.path + (file.origin == "default" ? "" : " (" + file.origin + ")");
  library_->file = MapFontFile(file.path, where);
  const FreeTypeApi& freetype = library_->freetype.api();
  if (FT_Error error = freetype.init_freetype(&library_->library)) {
    throw std::runtime_error("cannot start FreeType: " + FreeTypeProblem(freetype, error));
  }
  if (FT_Error error =
          freetype.new_memory_face(library_->library, static_cast<const FT_Byte*>(library_->file.base),
                                   static_cast<FT_Long>(library_->file.length), 0, &library_->face)) {
    throw std::runtime_error("cannot load " + where + ": " + FaceProblem(freetype, error));
  }
  FT_Face face = library_->face;
  if (FT_Error error = freetype.set_pixel_sizes(face, 0, kEmPixels)) {
    throw std::runtime_error("cannot size " + where + ": " + FreeTypeProblem(freetype, error));
  }
  synthetic_bold_ = bold && (face->style_flags & FT_STYLE_FLAG_BOLD) == 0;
  ascender_ = static_cast<int32_t>((face->size->metrics.ascender + 32) >> 6);
  line_height_ = ascender_ - static_cast<int32_t>((face->size->metrics.descender - 32) / 64);
}

CaptionFont::~CaptionFont() = default;

std::u32string DecodeCaptionText(const std::string& text) {
  std::u32string characters;
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    char32_t value = length == 1   ? lead
                     : length == 2 ? (lead & 0x1F)
                     : length == 3 ? (lead & 0x0F)
                                   : (lead & 0x07);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      value = (value << 6) | (next & 0x3F);
    }
    if (!valid) {
      characters.push_back(lead);
      ++i;
    } else {
      characters.push_back(value);
      i += length;
    }
  }
  return characters;
}

const GlyphInk& CaptionFont::Glyph(char32_t character) {
  for (const auto& [known, glyph] : glyphs_) {
    if (known == character) return glyph;
  }
  return glyphs_.emplace_back(character, RenderGlyph(character)).second;
}

GlyphInk CaptionFont::RenderGlyph(char32_t character) const {
  GlyphInk glyph;
  const FreeTypeApi& freetype = library_->freetype.api();
  FT_Face face = library_->face;
  FT_UInt index = freetype.get_char_index(face, character);
  if (freetype.load_glyph(face, index, FT_LOAD_TARGET_MONO) != 0)
    return glyph;  // drawn as nothing, like a space
  if (synthetic_bold_) freetype.embolden(face->glyph);
  if (face->glyph->format != FT_GLYPH_FORMAT_BITMAP &&
      freetype.render_glyph(face->glyph, FT_RENDER_MODE_MONO) != 0) {
    return glyph;
  }
  const FT_Bitmap& bitmap = face->glyph->bitmap;
  glyph.advance = static_cast<int32_t>(face->glyph->advance.x);
  for (unsigned row = 0; row < bitmap.rows; ++row) {
    const unsigned char* bits = bitmap.buffer + static_cast<ptrdiff_t>(row) * bitmap.pitch;
    for (unsigned column = 0; column < bitmap.width; ++column) {
      // Grey bitmaps come only from embedded strikes; half coverage counts as ink.
      bool ink = bitmap.pixel_mode == FT_PIXEL_MODE_MONO
                     ? (bits[column / 8] >> (7 - column % 8)) & 1
                     : bitmap.pixel_mode == FT_PIXEL_MODE_GRAY && bits[column] >= 128;
      if (ink) {
        glyph.ink.push_back({face->glyph->bitmap_left + static_cast<int32_t>(column),
                             static_cast<int32_t>(row) - face->glyph->bitmap_top});
      }
    }
  }
  return glyph;
}

std::vector<InkPixel> CaptionFont::Render(const std::string& utf8_text) {
  InkLine line(ascender_);
  for (char32_t character : DecodeCaptionText(utf8_text)) {
    const GlyphInk& glyph = Glyph(character);
    for (InkPixel pixel : glyph.ink) line.Put(pixel);
    line.Advance(glyph.advance);
  }
  return line.Take();
}
