#pragma once

#include <string>

// A font file to load, and where the choice came from (for error messages).
struct FontFile {
  std::string path;
  std::string origin;  // "STILLCAM_FONT", "STILLCAM_BOLD_FONT", "default" or "fontconfig"
};

// Finds the caption's font: the file an administrator named (STILLCAM_BOLD_FONT for bold, else
// STILLCAM_FONT), else DejaVu Sans where distributions install it, else whatever fontconfig matches
// for sans-serif. fontconfig is only loaded (dlopen) in that last case: its initialisation costs more
// than the rest of the run. Throws std::runtime_error when nothing is found.
FontFile FindCaptionFont(bool bold);

// The file fontconfig matches for pattern (e.g. "sans-serif:bold"), or "" when fontconfig is not
// installed or matches nothing.
std::string FontconfigMatch(const char* pattern);
