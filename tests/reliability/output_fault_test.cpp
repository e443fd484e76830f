// A response that cannot be delivered (no stdout, or a reader that went away before, in or after the
// header) ends in the fault path: no death by SIGPIPE, no hang, no file left.
#include <gtest/gtest.h>

#include <string>

#include "cgi/cgi_response.h"
#include "tests/reliability/reliability_support.h"

namespace {

TEST(OutputFault, UndeliverableResponse) {
  // A 640x480 picture is larger than the 4096-byte pipe, so a reader that stops early leaves the
  // run blocked in a write that must then fail.
  const struct {
    const char* name;
    StdoutKind kind;
    long read_before_close;  // -1: never read
  } cases[] = {
      {"stdout closed", StdoutKind::kClosed, -1},
      {"reader gone before the start", StdoutKind::kReaderGone, -1},
      {"reader gone inside the header", StdoutKind::kPipe, 10},
      {"reader gone right after the header", StdoutKind::kPipe, static_cast<long>(kResponseHeaderSize)},
      {"reader gone inside the picture", StdoutKind::kPipe, static_cast<long>(kResponseHeaderSize) + 100},
  };
  for (const auto& c : cases) {
    for (const char* query : {"large", "large&timestamp"}) {
      TempFolder tmp;
      StartOptions start;
      start.stdout_kind = c.kind;
      start.pipe_capacity = c.kind == StdoutKind::kClosed ? 0 : 4096;
      RunningStillcam run(
          {"STILLCAM_DEVICE=test", std::string("QUERY_STRING=") + query, "TMPDIR=" + tmp.path()}, start);
      if (c.read_before_close >= 0) {
        // The rest of the response cannot fit in the pipe, so a write fails once the reader is gone.
        run.ReadStdout(static_cast<size_t>(c.read_before_close));
        run.CloseStdout();
      }
      ProcessResult result = run.Finish();
      EXPECT_FALSE(run.hung()) << c.name;
      EXPECT_EQ(DescribeFaultPathMismatch(result, "response"), "") << c.name << ", " << query;
      EXPECT_TRUE(tmp.Entries().empty()) << c.name << ", " << query;
    }
  }
}

// A server may hand over a non-blocking stdout: a full pipe then makes a write fail with EAGAIN,
// which must mean "wait", not "fault".
TEST(OutputFault, NonBlockingStdoutIsWaitedFor) {
  TempFolder tmp;
  StartOptions start;
  start.pipe_capacity = 4096;
  start.nonblocking_stdout = true;
  RunningStillcam run({"STILLCAM_DEVICE=test", "QUERY_STRING=large", "TMPDIR=" + tmp.path()}, start);
  ASSERT_EQ(run.ReadStdout(kResponseHeaderSize), kResponseHeader);
  // Full: the run's next write finds no room.
  ASSERT_TRUE(WaitUntilPipeFull(run.pid(), run.stdout_fd(), 4096)) << run.Finish().err;
  ProcessResult result = run.Finish();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(DescribeResponseMismatch(result.out, 640, 480), "");
}

}  // namespace
