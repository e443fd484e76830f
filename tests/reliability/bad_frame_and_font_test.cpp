// Frame files and caption fonts that cannot be used end the run through its fault path: one line
// naming the stage and the reason, exit status 1, no picture, no file left, never a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cgi/cgi_response.h"
#include "tests/reliability/reliability_support.h"

namespace {

const std::string kSourceDir = STILLCAM_SOURCE_DIR;

TEST(BadFrameFile, HostileFilesAreRefusedByTheLoader) {
  // The same hostile files the parser's regression run replays, here as the file source's frame.
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(kSourceDir + "/tests/fuzz/regressions/bmp")) {
    if (entry.path().filename().string().rfind("hostile-", 0) == 0) files.push_back(entry.path());
  }
  ASSERT_GE(files.size(), 20u);
  for (const std::string& file : files) {
    for (const char* query : {"", "large&timestamp"}) {
      TempFolder tmp;
      ProcessResult result = RunStillcam(
          {"STILLCAM_DEVICE=file:" + file, std::string("QUERY_STRING=") + query, "TMPDIR=" + tmp.path()});
      EXPECT_EQ(DescribeFaultPathMismatch(result, "load frame"), "") << file << ", " << query;
      EXPECT_TRUE(tmp.Entries().empty()) << file;
    }
  }
}

TEST(BadFrameFile, FrameWithoutPixelsGivesTheHeaderAlone) {
  TempFolder tmp;
  ProcessResult result =
      RunStillcam({"STILLCAM_DEVICE=file:" + kSourceDir + "/tests/fuzz/corpus/bmp/empty.bmp",
                   "QUERY_STRING=timestamp", "TMPDIR=" + tmp.path()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, kResponseHeader);
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(BadFont, UnusableCaptionFontIsACaptionFault) {
  TempFolder fonts;
  const std::string text = fonts.path() + "/font.ttf";
  const std::string empty = fonts.path() + "/empty.ttf";
  const std::string cut = fonts.path() + "/cut.ttf";
  WriteFileBytes(text, "This is not a font.\n");
  WriteFileBytes(empty, "");
  const std::string dejavu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  WriteFileBytes(cut, ReadFileBytes(dejavu).substr(0, 4096));
  const std::string bitmap = kSourceDir + "/tests/fuzz/corpus/bmp/rgb24-bottom-up.bmp";

  const struct {
    const char* variable;
    std::string value;
  } cases[] = {
      {"STILLCAM_FONT", "/nonexistent/DejaVuSans.ttf"},
      {"STILLCAM_FONT", text},
      {"STILLCAM_FONT", empty},
      {"STILLCAM_FONT", cut},
      {"STILLCAM_FONT", bitmap},
      {"STILLCAM_FONT", fonts.path()},
      {"STILLCAM_FONT", "/dev/zero"},
      {"STILLCAM_BOLD_FONT", text},
  };
  for (const auto& c : cases) {
    const std::string setting = std::string(c.variable) + "=" + c.value;
    for (const char* query : {"timestamp", "large&boldtimestamp", "medium"}) {
      SCOPED_TRACE(setting + ", query " + query);
      const bool uses_font = std::string(query).find("timestamp") != std::string::npos &&
                             (std::string(c.variable) == "STILLCAM_FONT" ||
                              std::string(query).find("bold") != std::string::npos);
      TempFolder tmp;
      ProcessResult result = RunStillcam(
          {"STILLCAM_DEVICE=test", setting, std::string("QUERY_STRING=") + query, "TMPDIR=" + tmp.path()});
      if (uses_font) {
        EXPECT_EQ(DescribeFaultPathMismatch(result, "caption"), "") << setting << ", " << query;
      } else {
        // A request without a caption never reads the font.
        auto [width, height] = ExpectedSize(query);
        EXPECT_EQ(result.exit_status, 0) << setting << ", " << query << ": " << result.err;
        EXPECT_EQ(DescribeResponseMismatch(result.out, width, height), "") << setting << ", " << query;
      }
      EXPECT_TRUE(tmp.Entries().empty()) << setting << ", " << query;
    }
  }
}

TEST(BadFont, FontThatNeverEndsDoesNotHangTheRun) {
  // A FIFO named as the font has no writer: opening it for reading would wait forever.
  TempFolder fonts;
  const std::string fifo = fonts.path() + "/font.ttf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TempFolder tmp;
  RunningStillcam run(
      {"STILLCAM_DEVICE=test", "STILLCAM_FONT=" + fifo, "QUERY_STRING=timestamp", "TMPDIR=" + tmp.path()});
  ProcessResult result = run.Finish(std::chrono::seconds(15));
  EXPECT_FALSE(run.hung()) << "the run waited on the font for good";
  if (!run.hung()) {
    EXPECT_EQ(DescribeFaultPathMismatch(result, "caption"), "");
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

}  // namespace
