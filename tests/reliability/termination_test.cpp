// A web server ends a run it gave up on with SIGTERM, and one that overruns its time with SIGKILL;
// an administrator may send anything else. The run dies of the signal promptly, and its files go
// with it whatever the signal: they never had a name in the temporary folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "tests/reliability/reliability_support.h"

namespace {

using std::chrono::seconds;

TEST(Termination, AnySignalLeavesNothingBehind) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGKILL, SIGQUIT, SIGUSR1, SIGALRM}) {
    SCOPED_TRACE(strsignal(signal_number));
    TempFolder tmp;
    StartOptions start;
    start.pipe_capacity = 4096;  // far less than the picture: the run stays in its response
    start.prefix = {"/usr/bin/prlimit", "--core=0", "--"};  // SIGQUIT would dump a core
    RunningStillcam run({"STILLCAM_DEVICE=test", "QUERY_STRING=large&timestamp", "TMPDIR=" + tmp.path()},
                        start);
    // The header arrives once the picture is written: both files are live, and stay so while the
    // rest of the response waits for this reader.
    ASSERT_EQ(run.ReadStdout(25), "Content-type: image/jpg\n\n");
    ASSERT_EQ(FilesHeldIn(run.pid(), tmp.path()).size(), 2u);
    kill(run.pid(), signal_number);
    ProcessResult result = run.Finish(seconds(10));
    EXPECT_FALSE(run.hung());
    EXPECT_EQ(result.term_signal, signal_number)
        << "exit status " << result.exit_status << ": " << result.err;
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

}  // namespace
