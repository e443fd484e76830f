// The built binary carries the hardening a program on a public web server needs, as readelf sees it.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/process_runner.h"

namespace {

std::string Readelf(const std::string& options) {
  ProcessResult result = RunProcess("/usr/bin/readelf", {options, "--wide", STILLCAM_BINARY}, {"LC_ALL=C"});
  EXPECT_EQ(result.exit_status, 0) << "readelf " << options << ": " << result.err;
  return result.out;
}

bool Has(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern, std::regex::multiline));
}

TEST(Hardening, PositionIndependentExecutable) {
  EXPECT_TRUE(Has(Readelf("--file-header"), R"(Type:\s+DYN\b)")) << "not a PIE";
}

TEST(Hardening, FullRelro) {
  EXPECT_TRUE(Has(Readelf("--program-headers"), R"(^\s*GNU_RELRO\b)")) << "no RELRO segment";
  const std::string dynamic = Readelf("--dynamic");
  EXPECT_TRUE(Has(dynamic, R"(\(FLAGS\)\s+.*\bBIND_NOW\b)") || Has(dynamic, R"(\(FLAGS_1\)\s+.*\bNOW\b)"))
      << "lazy binding: RELRO is partial\n"
      << dynamic;
}

TEST(Hardening, StackProtector) {
  EXPECT_TRUE(Has(Readelf("--dyn-syms"), R"(\b__stack_chk_fail\b)")) << "no stack protector";
}

TEST(Hardening, FortifiedLibcCalls) {
#if defined(STILLCAM_SANITIZED)
  GTEST_SKIP() << "built with sanitizers: _FORTIFY_SOURCE is left off there, the sanitizers check instead";
#elif defined(STILLCAM_DEBUG_BUILD)
  GTEST_SKIP() << "Debug build: _FORTIFY_SOURCE needs optimisation and is left off";
#else
  EXPECT_TRUE(Has(Readelf("--dyn-syms"), R"(\b__\w+_chk\b)")) << "no fortified libc call: _FORTIFY_SOURCE is off";
#endif
}

TEST(Hardening, NoExecutableStack) {
  const std::string headers = Readelf("--program-headers");
  std::smatch stack;
  ASSERT_TRUE(std::regex_search(headers, stack, std::regex(R"(GNU_STACK.*\s(R?W?E?)\s+0x)")));
  EXPECT_EQ(stack[1].str().find('E'), std::string::npos) << "executable stack";
}

}  // namespace
