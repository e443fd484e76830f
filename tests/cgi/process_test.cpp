// The built binary run as a web server runs it.
#include <gtest/gtest.h>

#include "capture/bitmap_info_header.h"
#include "capture/test_source.h"
#include "cgi/cgi_response.h"
#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
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

// The picture a run of the test source at 160x120 without a caption must send: the source's frame,
// saved, loaded and encoded here by the stages' own parts.
std::string ExpectedSmallPicture() {
  std::string failure;
  TestSource source(failure);
  source.SetFormat(RequestedFrameFormat(160, 120));
  TempFolder folder;
  const std::string frame = folder.path() + "/frame.bmp";
  const std::string picture = folder.path() + "/picture.jpg";
  EXPECT_TRUE(source.Grab() && source.SaveFrame(frame.c_str())) << failure;
  EncodeJpegFile(LoadFrameBitmap(frame.c_str()), picture.c_str());
  return ReadFileBytes(picture);
}

TEST(Process, ArgumentsAreIgnored) {
  // What Apache passes for "?large+timestamp": the words as arguments, the query unchanged.
  ProcessResult result = RunStillcam({"QUERY_STRING=small", "STILLCAM_DEVICE=test"},
                                     {"large", "timestamp", "--help", "-v", "/etc/passwd"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out == kResponseHeader + ExpectedSmallPicture())
      << "not the small picture without caption";
}

}  // namespace
