// Whatever the client puts in the query, the run answers correctly: a complete picture of the size
// the keywords ask for, nothing on stderr, exit status 0, and no file left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tests/reliability/reliability_support.h"

namespace {

// Runs one request against the test source; returns what is wrong with the answer, empty when right.
std::string CheckAnswer(const std::optional<std::string>& query) {
  TempFolder tmp;
  std::vector<std::string> env = {"STILLCAM_DEVICE=test", "TMPDIR=" + tmp.path()};
  if (query) env.push_back("QUERY_STRING=" + *query);
  ProcessResult result = RunStillcam(env);
  std::string problems;
  if (result.term_signal != 0) problems += "died of signal " + std::to_string(result.term_signal) + "; ";
  if (result.exit_status != 0) problems += "exit status " + std::to_string(result.exit_status) + "; ";
  if (!result.err.empty()) problems += "stderr: " + result.err + "; ";
  auto [width, height] = ExpectedSize(query.value_or(""));
  std::string response = DescribeResponseMismatch(result.out, width, height);
  if (!response.empty()) problems += response + "; ";
  if (!tmp.Entries().empty()) problems += "files left in TMPDIR; ";
  return problems;
}

std::string Printable(const std::string& bytes) {
  std::string shown;
  for (unsigned char c : bytes.substr(0, 60)) {
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return bytes.size() > 60 ? shown + "... (" + std::to_string(bytes.size()) + " bytes)" : shown;
}

TEST(HostileQuery, EveryByteValueAloneAndInsideKeywords) {
  // An environment variable cannot hold NUL, so 1..255 is every byte a client can get through.
  for (int byte = 1; byte <= 255; ++byte) {
    const std::string alone(1, static_cast<char>(byte));
    // Inside a keyword the byte must neither complete nor break it by some folding of its own.
    std::string inside = "lar";
    inside.append(alone).append("ge&time").append(alone).append("stamp");
    for (const std::string& query : {alone, inside}) {
      std::string problems = CheckAnswer(query);
      EXPECT_EQ(problems, "") << "query \"" << Printable(query) << "\"";
    }
  }
}

TEST(HostileQuery, ShapesAndSizes) {
  const std::string kib64(64 * 1024, 'A');
  const std::vector<std::optional<std::string>> queries = {
      std::nullopt,  // no QUERY_STRING at all
      "",
      kib64,
      "large&timestamp" + kib64,
      kib64 + "large&timestamp",  // keywords beyond the part that is looked at
      std::string(64 * 1024, '%'),
      std::string(64 * 1024, '\xFF'),
      "%s%s%s%n%n%n%p%x%99999999d&large",
      "../../../../etc/passwd&medium",
      "/dev/video0&STILLCAM_DEVICE=/etc/shadow&TMPDIR=/",
      "$(touch /tmp/stillcam-pwned)`id`;rm -rf /;|sh&timestamp",
      "%4C%41%52%47%45",                           // LARGE percent-encoded: the keywords are matched as sent
      "l\xC3\xA1rge&\xEF\xBC\xAC\xEF\xBC\xA1RGE",  // accented and full-width look-alikes
      "boldtimestamp&medium&large",
      "\r\n\r\nContent-type: text/html\r\n\r\n<script>",
      std::string(48, '&') + "medium",  // the keyword straddles the cut
  };
  for (const auto& query : queries) {
    std::string problems = CheckAnswer(query);
    EXPECT_EQ(problems, "") << "query " << (query ? Printable(*query) : std::string("absent"));
  }
  struct stat ignored {};
  EXPECT_NE(stat("/tmp/stillcam-pwned", &ignored), 0) << "a query reached a shell";
}

}  // namespace
