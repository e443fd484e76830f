#include "cgi/settings.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/platform.h"

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

// A whole number with an optional minus sign that fits 64 bits.
bool ParseInteger(const std::string& text, int64_t& number) {
  size_t at = text.starts_with('-') ? 1 : 0;
  if (at == text.size()) return false;
  uint64_t magnitude = 0;
  const uint64_t limit = at == 1 ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX};
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    const unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  number = text.starts_with('-') ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// name=value,name=value: each item that does not read as a name and a whole number is reported in a
// line of its own and left out, so that the others still reach the camera.
std::vector<CameraControl> ParseCameraControls(const std::string& list, std::vector<std::string>& warnings) {
  std::vector<CameraControl> controls;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    start = end + 1;
    if (Trimmed(item).empty()) continue;
    const size_t equals = item.find('=');
    CameraControl control{Trimmed(item.substr(0, equals)), 0};
    if (equals == std::string::npos || control.name.empty()) {
      warnings.push_back("control " + Trimmed(item) + ": not name=value");
    } else if (!ParseInteger(Trimmed(item.substr(equals + 1)), control.value)) {
      warnings.push_back("control " + control.name + ": " + Trimmed(item.substr(equals + 1)) +
                         " is not a whole number");
    } else {
      controls.push_back(control);
    }
  }
  return controls;
}

void Ignore(std::vector<std::string>& warnings, const char* name, const char* value, const char* rule,
            const std::string& used) {
  warnings.push_back(std::string(name) + "=" + value + " ignored: " + rule + "; using " + used);
}

// A switch: 1 or 0; anything else is reported and leaves the default.
void ReadSwitch(const EnvironmentLookup& variable, const char* name, bool& value,
                std::vector<std::string>& warnings) {
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
  const char* tmpdir = ValueOf(variable, "TMPDIR");
  settings.temporary_folder = tmpdir != nullptr ? tmpdir : SystemTemporaryFolder();
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
  if (const char* controls = ValueOf(variable, "STILLCAM_CONTROLS"))
    settings.camera_controls = ParseCameraControls(controls, warnings);
  if (const char* flip = ValueOf(variable, "STILLCAM_FLIP")) {
    const std::string_view value = flip;
    if (value == "h") {
      settings.flip = FrameFlip::kHorizontal;
    } else if (value == "v") {
      settings.flip = FrameFlip::kVertical;
    } else if (value == "hv") {
      settings.flip = FrameFlip::kBoth;
    } else {
      Ignore(warnings, "STILLCAM_FLIP", flip, "not h, v or hv", "no flip");
    }
  }
  return settings;
}
