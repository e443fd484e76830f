#pragma once

#include "imaging/frame_bitmap.h"

// Encodes the bitmap as a baseline JPEG of quality 85 into the file at path (replacing its content).
// An empty bitmap gives an empty file. Throws std::runtime_error ("JPEG error #N", or the I/O failure).
void EncodeJpegFile(const FrameBitmap& frame, const char* path);
