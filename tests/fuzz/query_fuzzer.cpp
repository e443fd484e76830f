// libFuzzer target: the query parser against a plain model of the keyword rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/request_options.h"

namespace {

// The rules as the README states them: keywords anywhere in the first 49 characters, any letter case.
SnapshotOptions Model(const std::string& query) {
  std::string head = query.substr(0, query.find('\0')).substr(0, 49);
  for (char& c : head) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  SnapshotOptions options;
  options.caption = head.find("TIMESTAMP") != std::string::npos;
  options.bold = head.find("BOLDTIMESTAMP") != std::string::npos;
  if (head.find("MEDIUM") != std::string::npos) {
    options.frame_width = 320;
    options.frame_height = 240;
  } else if (head.find("LARGE") != std::string::npos) {
    options.frame_width = 640;
    options.frame_height = 480;
  }
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string query(reinterpret_cast<const char*>(data), size);  // NUL ends it, as in an environment
  const SnapshotOptions parsed = ParseQuery(query.c_str());
  const SnapshotOptions expected = Model(query);
  if (parsed.frame_width != expected.frame_width || parsed.frame_height != expected.frame_height ||
      parsed.caption != expected.caption || parsed.bold != expected.bold) {
    std::abort();  // a finding: the parser disagrees with the stated rules
  }
  return 0;
}
