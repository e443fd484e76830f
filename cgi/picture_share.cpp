#include "cgi/picture_share.h"

namespace {

// A field with its length first, so that no two different sets of fields make the same key.
std::string Field(const char* name, const std::string& value) {
  return std::string(name) + " " + std::to_string(value.size()) + ":" + value + "\n";
}

}  // namespace

std::string ShareKey(const std::string& device, const SnapshotOptions& options, const std::string& font,
                     const std::string& bold_font) {
  const char* caption = !options.caption ? "none" : options.bold ? "bold" : "regular";
  std::string key = Field("device", device) +
                    Field("size", std::to_string(options.frame_width) + "x" + std::to_string(options.frame_height)) +
                    Field("caption", caption);
  if (options.caption) key += Field("font", font) + Field("bold font", bold_font);
  return key;
}
