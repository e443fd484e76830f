#include "imaging/freetype_api.h"

FreeType::FreeType()
    : api_{&FT_Init_FreeType,   &FT_Done_FreeType,  &FT_New_Memory_Face, &FT_Done_Face,
           &FT_Set_Pixel_Sizes, &FT_Get_Char_Index, &FT_Load_Glyph,      &FT_GlyphSlot_Embolden,
           &FT_Render_Glyph,    &FT_Error_String} {}

FreeType::~FreeType() = default;
