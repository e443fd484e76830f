#include "cgi/settings.h"

#include <cstring>

namespace {

constexpr int kMostSkipFrames = 100;  // a few seconds of frames at the most

// The value of a variable that is set and not empty, or nullptr.
const char* ValueOf(const EnvironmentLookup& variable, const char* name) {
  const char* value = variable(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// A whole number from 0 to most, in decimal digits only (leading zeros allowed); -1 otherwise.
int WholeNumberUpTo(const char* text, int most) {
  int number = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    number = number * 10 + (*c - '0');
    if (number > most) return -1;
  }
  return number;
}

void Ignore(std::vector<std::string>& warnings, const char* name, const char* value, const char* rule,
            const std::string& used) {
  warnings.push_back(std::string(name) + "=" + value + " ignored: " + rule + "; using " + used);
}

// A switch: 1 or 0; anything else is reported and leaves the default.
void ReadSwitch(const EnvironmentLookup& variable, const char* name, bool& value, std::vector<std::string>& warnings) {
  const char* text = ValueOf(variable, name);
  if (text == nullptr) return;
  if (std::strcmp(text, "1") == 0 || std::strcmp(text, "0") == 0) {
    value = text[0] == '1';
  } else {
    Ignore(warnings, name, text, "neither 1 nor 0", value ? "1" : "0");
  }
}

}  // namespace

Settings ReadSettings(const EnvironmentLookup& variable, std::vector<std::string>& warnings) {
  Settings settings;
  if (const char* tmpdir = ValueOf(variable, "TMPDIR")) settings.temporary_folder = tmpdir;
  if (const char* device = ValueOf(variable, "STILLCAM_DEVICE")) settings.device = device;
  if (const char* skip = ValueOf(variable, "STILLCAM_SKIP_FRAMES")) {
    int frames = WholeNumberUpTo(skip, kMostSkipFrames);
    if (frames >= 0) {
      settings.skip_frames = frames;
    } else {
      Ignore(warnings, "STILLCAM_SKIP_FRAMES", skip, "not a whole number from 0 to 100",
             std::to_string(settings.skip_frames));
    }
  }
  ReadSwitch(variable, "STILLCAM_VERBOSE", settings.verbose, warnings);
  ReadSwitch(variable, "STILLCAM_SHARE", settings.share, warnings);
  if (const char* font = ValueOf(variable, "STILLCAM_FONT")) settings.font = font;
  if (const char* font = ValueOf(variable, "STILLCAM_BOLD_FONT")) settings.bold_font = font;
  return settings;
}
