#pragma once

#include <ft2build.h>

#include <memory>

#include "base/platform.h"
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

// The FreeType entry points the caption font uses.
struct FreeTypeApi {
  decltype(&FT_Init_FreeType) init_freetype;
  decltype(&FT_Done_FreeType) done_freetype;
  decltype(&FT_New_Memory_Face) new_memory_face;
  decltype(&FT_Done_Face) done_face;
  decltype(&FT_Set_Pixel_Sizes) set_pixel_sizes;
  decltype(&FT_Get_Char_Index) get_char_index;
  decltype(&FT_Load_Glyph) load_glyph;
  decltype(&FT_GlyphSlot_Embolden) embolden;
  decltype(&FT_Render_Glyph) render_glyph;
  decltype(&FT_Error_String) error_string;
};

// FreeType, for as long as the object lives. Where it comes from is the build's choice: linked into
// the program (freetype_linked.cpp), or the system's shared library loaded when the first font is
// needed (freetype_loaded.cpp), so that a run that draws only built-in glyphs neither carries nor
// loads any of it. Throws std::runtime_error when FreeType cannot be had.
class FreeType {
 public:
  FreeType();
  ~FreeType();
  FreeType(const FreeType&) = delete;
  FreeType& operator=(const FreeType&) = delete;

  const FreeTypeApi& api() const { return api_; }

 private:
  std::unique_ptr<SharedLibrary> library_;  // when loaded at run time
  FreeTypeApi api_{};
};
