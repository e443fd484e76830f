#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/frame_bitmap.h"

// Loads a BMP file. Throws std::runtime_error with a clear message for anything it cannot read safely.
FrameBitmap LoadFrameBitmap(const char* path);

// The same for a BMP file already in memory (the whole file); for tests and fuzzing.
FrameBitmap ParseFrameBitmap(const uint8_t* data, size_t size);
