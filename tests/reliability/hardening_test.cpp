// The built binary carries the hardening a program on a public web server needs, as readelf sees it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace {

// readelf's output as lines of whitespace-separated words.
std::vector<std::vector<std::string>> Readelf(const std::string& option) {
  ProcessResult result = RunProcess("/usr/bin/readelf", {option, "--wide", STILLCAM_BINARY}, {"LC_ALL=C"});
  EXPECT_EQ(result.exit_status, 0) << "readelf " << option << ": " << result.err;
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(result.out);
  for (std::string line; std::getline(text, line);) {
    std::istringstream words(line);
    lines.emplace_back();
    for (std::string word; words >> word;) lines.back().push_back(word);
  }
  return lines;
}

bool Contains(const std::vector<std::string>& words, const std::string& wanted) {
  for (const std::string& word : words) {
    if (word == wanted) return true;
  }
  return false;
}

// A symbol word without its version ("__snprintf_chk@GLIBC_2.3.4" -> "__snprintf_chk").
std::string SymbolName(const std::string& word) { return word.substr(0, word.find('@')); }

TEST(Hardening, PositionIndependentExecutable) {
  bool pie = false;
  for (const auto& words : Readelf("--file-header")) pie |= words.size() >= 2 && words[0] == "Type:" && words[1] == "DYN";
  EXPECT_TRUE(pie) << "not a PIE";
}

TEST(Hardening, FullRelro) {
  bool relro = false;
  for (const auto& words : Readelf("--program-headers")) relro |= !words.empty() && words[0] == "GNU_RELRO";
  EXPECT_TRUE(relro) << "no RELRO segment";
  bool bind_now = false;
  for (const auto& words : Readelf("--dynamic")) {
    bind_now |= (Contains(words, "(FLAGS)") && Contains(words, "BIND_NOW")) ||
                (Contains(words, "(FLAGS_1)") && Contains(words, "NOW"));
  }
  EXPECT_TRUE(bind_now) << "lazy binding: RELRO is only partial";
}

TEST(Hardening, StackProtector) {
  bool protector = false;
  for (const auto& words : Readelf("--dyn-syms")) {
    for (const std::string& word : words) protector |= SymbolName(word) == "__stack_chk_fail";
  }
  EXPECT_TRUE(protector) << "no stack protector";
}

TEST(Hardening, FortifiedLibcCalls) {
#if defined(STILLCAM_SANITIZED)
  GTEST_SKIP() << "built with sanitizers: _FORTIFY_SOURCE is left off there, the sanitizers check instead";
#elif defined(STILLCAM_DEBUG_BUILD)
  GTEST_SKIP() << "Debug build: _FORTIFY_SOURCE needs optimisation and is left off";
#else
  bool fortified = false;
  for (const auto& words : Readelf("--dyn-syms")) {
    for (const std::string& word : words) {
      const std::string name = SymbolName(word);
      fortified |= name.size() > 6 && name.rfind("__", 0) == 0 && name.ends_with("_chk");
    }
  }
  EXPECT_TRUE(fortified) << "no fortified libc call: _FORTIFY_SOURCE is off";
#endif
}

TEST(Hardening, NoExecutableStack) {
  bool found = false;
  for (const auto& words : Readelf("--program-headers")) {
    if (words.size() < 3 || words[0] != "GNU_STACK") continue;
    found = true;
    // The flags are the word before the alignment: "RW", never "RWE".
    EXPECT_EQ(words[words.size() - 2].find('E'), std::string::npos) << "executable stack";
  }
  EXPECT_TRUE(found) << "no GNU_STACK header: the stack may be executable";
}

}  // namespace
