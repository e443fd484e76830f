// The built binary run as a web server runs it.
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

namespace {

TEST(Process, WithoutCameraIsQuietAndLeavesNothing) {
  TempFolder tmp;
  for (const char* query : {"", "large", "medium&timestamp", "boldtimestamp"}) {
    ProcessResult result = RunStillcam({std::string("QUERY_STRING=") + query, "TMPDIR=" + tmp.path(),
                                        "STILLCAM_DEVICE=/nonexistent/video9"});
    EXPECT_EQ(result.exit_status, 0) << query;
    EXPECT_EQ(result.out, "") << query;
    EXPECT_EQ(result.err, "") << query;
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(Process, VerboseSaysWhyTheCaptureFailed) {
  ProcessResult result = RunStillcam({"STILLCAM_DEVICE=/nonexistent/video9", "STILLCAM_VERBOSE=1"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("stillcam:"), std::string::npos) << result.err;
}

TEST(Process, ArgumentsAreIgnored) {
  // What Apache passes for "?large+timestamp": the words as arguments, the query unchanged.
  const std::vector<std::string> env = {"QUERY_STRING=small", "STILLCAM_DEVICE=test"};
  ProcessResult plain = RunStillcam(env);
  ProcessResult with_words = RunStillcam(env, {"large", "timestamp", "--help", "-v", "/etc/passwd"});
  EXPECT_EQ(plain.exit_status, with_words.exit_status);
  EXPECT_EQ(plain.out, with_words.out);
  EXPECT_EQ(plain.err, with_words.err);
}

}  // namespace
