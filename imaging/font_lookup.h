#pragma once

#include <string>

// A font file to load, and where the choice came from (for error messages).
struct FontFile {
  std::string path;
  std::string origin;  // "STILLCAM_FONT", "STILLCAM_BOLD_FONT", "default" or "fontconfig"
};

// The font files the administrator named (STILLCAM_FONT, STILLCAM_BOLD_FONT); empty: none named.
struct NamedFonts {
  std::string regular;
  std::string bold;
};

// Whether a font file is named for the weight.
inline bool NamesFontFor(const NamedFonts& named, bool bold) {
  return !named.regular.empty() || (bold && !named.bold.empty());
}

// Finds the caption's font: the file the administrator named (the bold one for bold, else the
// regular one), else DejaVu Sans where distributions install it, else whatever fontconfig matches
// for sans-serif. fontconfig is only loaded in that last case: its initialisation costs more than the
// rest of the run. Throws std::runtime_error when nothing is found.
FontFile FindCaptionFont(const NamedFonts& named, bool bold);

// The file fontconfig matches for pattern (e.g. "sans-serif:bold"), or "" when fontconfig is not
// installed or matches nothing.
std::string FontconfigMatch(const char* pattern);
