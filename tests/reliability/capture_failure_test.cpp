// A camera that cannot be had ends the request quietly, whatever stands where the camera should be:
// exit status 0, nothing on stdout, nothing on stderr unless the administrator asked why, and then
// exactly one line of stillcam's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/reliability/reliability_support.h"

namespace {

TEST(CaptureFailure, NoCameraIsQuiet) {
  TempFolder scratch;
  const std::string plain_file = scratch.path() + "/video0";
  const std::string fifo = scratch.path() + "/fifo";
  WriteFileBytes(plain_file, "");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string devices[] = {
      "/nonexistent/video9",
      plain_file,   // not a device node
      "/dev/null",  // a device, but no V4L2 one
      scratch.path(),
      "file:" + scratch.path() + "/missing.bmp",
      "file:" + scratch.path(),  // a folder
      "file:" + fifo,            // would block a reader forever
      "file:/dev/zero",          // endless
  };
  for (const std::string& device : devices) {
    for (bool verbose : {false, true}) {
      TempFolder tmp;
      std::vector<std::string> env = {"STILLCAM_DEVICE=" + device, "QUERY_STRING=large",
                                      "TMPDIR=" + tmp.path()};
      if (verbose) env.push_back("STILLCAM_VERBOSE=1");
      RunningStillcam run(env);
      ProcessResult result = run.Finish(std::chrono::seconds(20));
      EXPECT_FALSE(run.hung()) << device;
      EXPECT_EQ(result.exit_status, 0) << device;
      EXPECT_EQ(result.out, "") << device;
      if (verbose) {
        EXPECT_TRUE(result.err.rfind("stillcam: ", 0) == 0 && result.err.find('\n') + 1 == result.err.size())
            << device << ": not one line of stillcam's own: \"" << result.err << "\"";
      } else {
        EXPECT_EQ(result.err, "") << device;
      }
      EXPECT_TRUE(tmp.Entries().empty()) << device;
    }
  }
}

}  // namespace
