#include <stdexcept>
#include <string>

#include "imaging/freetype_api.h"

namespace {

// The name of FreeType's shared library since FreeType 2.0.
constexpr char kLibraryName[] = "libfreetype.so.6";

template <typename Function>
void Bind(const SharedLibrary& library, const char* symbol, Function& function) {
  function = library.Get<Function>(symbol);
  if (function == nullptr) {
    throw std::runtime_error(std::string("cannot start FreeType: ") + kLibraryName + " has no " + symbol);
  }
}

}  // namespace

FreeType::FreeType() : library_(std::make_unique<SharedLibrary>(kLibraryName)) {
  if (!library_->loaded()) {
    throw std::runtime_error(std::string("cannot start FreeType: ") + kLibraryName +
                             " cannot be loaded (install libfreetype6)");
  }
  Bind(*library_, "FT_Init_FreeType", api_.init_freetype);
  Bind(*library_, "FT_Done_FreeType", api_.done_freetype);
  Bind(*library_, "FT_New_Memory_Face", api_.new_memory_face);
  Bind(*library_, "FT_Done_Face", api_.done_face);
  Bind(*library_, "FT_Set_Pixel_Sizes", api_.set_pixel_sizes);
  Bind(*library_, "FT_Get_Char_Index", api_.get_char_index);
  Bind(*library_, "FT_Load_Glyph", api_.load_glyph);
  Bind(*library_, "FT_GlyphSlot_Embolden", api_.embolden);
  Bind(*library_, "FT_Render_Glyph", api_.render_glyph);
  Bind(*library_, "FT_Error_String", api_.error_string);
}

FreeType::~FreeType() = default;
