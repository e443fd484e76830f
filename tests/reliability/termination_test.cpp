// The web server ends a run it gave up on with SIGTERM (or the administrator with SIGINT/SIGHUP):
// the run dies of that signal promptly, and its files go with it.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/reliability/reliability_support.h"

namespace {

using std::chrono::seconds;

TEST(Termination, WhileTheResponseWaitsForTheReader) {
  // The run waits in a write to a reader that does not read: its two files are live.
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    TempFolder tmp;
    StartOptions start;
    start.pipe_capacity = 4096;
    RunningStillcam run({"STILLCAM_DEVICE=test", "QUERY_STRING=large&timestamp", "TMPDIR=" + tmp.path()}, start);
    ASSERT_TRUE(WaitUntilBlocked(run.pid(), run.stdout_fd())) << "the run did not wait";
    ASSERT_EQ(RunFilesIn(tmp.path()).size(), 2u);
    kill(run.pid(), signal_number);
    ProcessResult result = run.Finish(seconds(10));
    EXPECT_FALSE(run.hung()) << strsignal(signal_number);
    EXPECT_EQ(result.term_signal, signal_number) << "exit status " << result.exit_status << ": " << result.err;
    EXPECT_TRUE(tmp.Entries().empty()) << strsignal(signal_number);
  }
}

}  // namespace
