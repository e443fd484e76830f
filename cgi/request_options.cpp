#include "cgi/request_options.h"

#include <cstring>
#include <optional>
#include <string>

#include "base/platform.h"

namespace {

constexpr size_t kQueryBufferSize = 51;
// A query of 50 characters or more is cut to its first 49: keywords near the start still count, and
// nothing beyond the buffer is ever looked at.
constexpr size_t kMaxQueryChars = 49;

bool Contains(const char* text, const char* keyword) { return std::strstr(text, keyword) != nullptr; }

}  // namespace

SnapshotOptions ParseQuery(const char* query) {
  char buffer[kQueryBufferSize] = {};
  if (query != nullptr) {
    for (size_t i = 0; i < kMaxQueryChars && query[i] != '\0'; ++i) buffer[i] = query[i];
  }
  // Only a-z are folded; toupper() would depend on the locale and touch bytes above 0x7F.
  for (char& c : buffer) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }

  SnapshotOptions options;
  options.caption = Contains(buffer, "TIMESTAMP");
  options.bold = Contains(buffer, "BOLDTIMESTAMP");
  if (Contains(buffer, "MEDIUM")) {
    options.frame_width = 320;
    options.frame_height = 240;
  } else if (Contains(buffer, "LARGE")) {
    options.frame_width = 640;
    options.frame_height = 480;
  }
  return options;
}

SnapshotOptions ReadOptions() {
  const std::optional<std::string> query = EnvironmentValue("QUERY_STRING");
  return ParseQuery(query ? query->c_str() : nullptr);
}
