// stillcam.exe with Wine's own AVICAP32, which cannot make a capture window: the run must fail
// quietly, as on a Windows machine without a camera.
#include <gtest/gtest.h>

#include "tests/windows/win_process.h"

namespace {

TEST(WineAvicap, NoCaptureWindowMeansNoOutputExitZeroAndNoFile) {
  for (const char* query : {"", "large&timestamp"}) {
    SCOPED_TRACE(query);
    ScratchFolder tmp;
    ProcessResult run = RunProgram(WindowsPath(STILLCAM_EXE), {{"QUERY_STRING", query},
                                                               {"TMP", tmp.path()},
                                                               {"TEMP", tmp.path()},
                                                               {"TMPDIR", ""},
                                                               {"STILLCAM_DEVICE", ""}});
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(tmp.Listing(), "");
  }
}

TEST(WineAvicap, VerboseRunNamesTheMissingWindow) {
  ProcessResult run =
      RunProgram(WindowsPath(STILLCAM_EXE), {{"STILLCAM_VERBOSE", "1"}, {"STILLCAM_DEVICE", ""}});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, "stillcam: no capture window: AVICAP32 could not make one\r\n")
      << "a line of text, as Windows ends one";
}

}  // namespace
