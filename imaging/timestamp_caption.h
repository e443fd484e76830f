#pragma once

#include <ctime>
#include <string>

#include "imaging/font_lookup.h"
#include "imaging/frame_bitmap.h"

// Draws the current local date and time, outlined, into the bottom-left corner of the frame,
// placed by the requested frame height. Throws std::runtime_error when the font cannot be had.
void DrawTimestampCaption(FrameBitmap& frame, int32_t requested_height, bool bold, const NamedFonts& fonts);

// The caption for a local time: " yyyy-mmm-dd  hh:mm ", the year in at least four digits, the month
// abbreviated as the current LC_TIME locale abbreviates it (the process's locale, which main() takes
// from the environment), in UTF-8.
std::string FormatCaptionText(const std::tm& local_time);

// Draws text as the caption: 0x333333 at the nine positions around (1, y), then 0xCCCCCC at (1, y),
// where y = requested_height - line height - 1; only ink pixels change, clipped to the frame, in
// the frame's own pixel format.
void DrawCaptionText(FrameBitmap& frame, const std::string& text, int32_t requested_height, bool bold,
                     const NamedFonts& fonts);
