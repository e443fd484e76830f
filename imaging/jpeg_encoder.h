#pragma once

#include "imaging/frame_bitmap.h"

// Encodes the bitmap as a baseline JPEG of quality 85 into the file at path (created with mode 0600
// when absent, written from its start and cut to length). An empty bitmap gives an empty file. Every write
// and the close are checked. Throws std::runtime_error: "JPEG error #N" with libjpeg's message number, or the
// file failure.
void EncodeJpegFile(const FrameBitmap& frame, const char* path);
// The same for a frame that is not needed afterwards: the memory of rows mapped from the frame's
// file goes back to the system as they are encoded, so the peak memory of a run stays well under
// the size of the frame.
void EncodeJpegFile(FrameBitmap&& frame, const char* path);
