#pragma once

#include "imaging/frame_bitmap.h"

// Loads a BMP file. Throws std::runtime_error with a clear message for anything it cannot read safely.
FrameBitmap LoadFrameBitmap(const char* path);
