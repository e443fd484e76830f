#pragma once

#include "cgi/request_options.h"
#include "imaging/frame_bitmap.h"

// Draws the current local date and time, outlined, into the bottom-left corner of the frame,
// placed by the requested frame height. Throws std::runtime_error when the font cannot be had.
void DrawTimestampCaption(FrameBitmap& frame, const SnapshotOptions& options);
