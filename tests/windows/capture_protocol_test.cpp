// stillcam.exe as a web server runs it, capturing through a stand-in avicap32.dll that answers the
// capture window's messages, records them, and fails the one a case asks it to fail.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "tests/support/jpeg_decode.h"
#include "tests/windows/win_process.h"

namespace {

constexpr char kHeader[] = "Content-type: image/jpg\n\n";
constexpr size_t kHeaderSize = sizeof kHeader - 1;

// The stand-in's lines for each step a run may take, for a frame of width x height.
std::string CreateLine(int width, int height) {
  return "create \"My Own Capture Window\" style=50000000 at=0,0 size=" + std::to_string(width) + "x" +
         std::to_string(height) + " parent=desktop id=126";
}
std::string FormatLine(int width, int height) {
  return "format 40 size=40 " + std::to_string(width) + "x" + std::to_string(height) +
         " planes=1 bits=16 compression=0 image=0 ppm=0x0 colours=0/0";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// One run of the stand-in build, in a temporary folder of its own, with the stand-in's log beside it.
struct StillcamRun {
  ProcessResult result;
  std::vector<std::string> calls;
  std::string frame_path;   // where the driver was asked to save the frame
  std::string left_behind;  // files in the run's temporary folder afterwards
  std::string temporary_folder;
};

StillcamRun RunStillcam(std::map<std::string, std::string> environment, Reader reader = Reader::kStays) {
  ScratchFolder tmp;
  ScratchFolder logs;
  const std::string log = logs.path() + "\\calls.txt";
  environment["TMP"] = tmp.path();
  environment["TEMP"] = tmp.path();
  environment["TMPDIR"] = "";
  environment["AVICAP_STANDIN_LOG"] = log;
  StillcamRun run;
  run.temporary_folder = tmp.path();
  run.result = RunProgram(WindowsPath(STANDIN_STILLCAM), environment, 60000, reader);
  try {
    run.calls = Lines(ReadWholeFile(log));
  } catch (const std::exception&) {
    // no call at all
  }
  for (const std::string& call : run.calls) {
    if (call.starts_with("save 0 ")) run.frame_path = call.substr(7);
  }
  run.left_behind = tmp.Listing();
  return run;
}

void ExpectCompletedQuietly(const StillcamRun& run) {
  EXPECT_TRUE(run.result.finished);
  EXPECT_EQ(run.result.exit_code, 0u);
  EXPECT_EQ(run.result.output.size(), 0u) << "a failed capture sends nothing at all";
  EXPECT_EQ(run.left_behind, "");
}

struct SizeCase {
  const char* query;
  int width;
  int height;
  bool caption;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << '"' << c.query << '"'; }

class EndToEnd : public testing::TestWithParam<SizeCase> {};

TEST_P(EndToEnd, TakesThePictureThroughEveryMessageAndLeavesNoFile) {
  const SizeCase& c = GetParam();
  StillcamRun run = RunStillcam({{"QUERY_STRING", c.query}});
  ASSERT_TRUE(run.result.finished);
  EXPECT_EQ(run.result.exit_code, 0u) << run.result.errors;
  EXPECT_EQ(run.result.errors, "");
  EXPECT_EQ(run.left_behind, "");

  ASSERT_EQ(run.calls.size(), 6u);
  EXPECT_EQ(run.calls[0], CreateLine(c.width, c.height));
  EXPECT_EQ(run.calls[1], "connect 0") << "capture index 1 is the system's first VFW driver";
  EXPECT_EQ(run.calls[2], FormatLine(c.width, c.height));
  EXPECT_EQ(run.calls[3], "grab");
  EXPECT_EQ(run.calls[4].substr(0, 7), "save 0 ");
  EXPECT_EQ(run.calls[5], "disconnect");
  EXPECT_EQ(run.frame_path.rfind(run.temporary_folder + "\\", 0), 0u) << run.frame_path;

  ASSERT_GT(run.result.output.size(), kHeaderSize);
  ASSERT_EQ(run.result.output.substr(0, kHeaderSize), kHeader);
  DecodedJpeg picture = DecodeJpeg(run.result.output.substr(kHeaderSize));
  ASSERT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, c.width);
  EXPECT_EQ(picture.height, c.height);
  // The stand-in's frame: a band that darkens from white at the left, then bars from white to black.
  EXPECT_TRUE(ColoursNear(picture.At(1, 1), 0xFFFFFF, 24));
  EXPECT_TRUE(ColoursNear(picture.At(c.width - 2, 1), 0x000000, 24));
  const int middle = c.height / 2;
  EXPECT_TRUE(ColoursNear(picture.At(c.width * 5 / 16, middle), 0x00FFFF, 40)) << "cyan bar, third from left";
  EXPECT_TRUE(ColoursNear(picture.At(c.width * 11 / 16, middle), 0xFF0000, 40)) << "red bar, not blue";

  // The caption's dark outline lies in the bottom rows at the left, over the white and yellow bars.
  int caption_pixels = 0;
  for (int y = c.height - 14; y < c.height - 1; ++y) {
    for (int x = 2; x < 60; ++x) caption_pixels += ColoursNear(picture.At(x, y), 0x333333, 40) ? 1 : 0;
  }
  if (c.caption) {
    EXPECT_GT(caption_pixels, 20);
  } else {
    EXPECT_EQ(caption_pixels, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EachSize, EndToEnd,
                         testing::Values(SizeCase{"", 160, 120, false}, SizeCase{"timestamp", 160, 120, true},
                                         SizeCase{"medium", 320, 240, false},
                                         SizeCase{"size=medium&timestamp", 320, 240, true},
                                         SizeCase{"LARGE", 640, 480, false},
                                         SizeCase{"large&boldtimestamp", 640, 480, true}));

struct FailureCase {
  const char* failing;  // the stand-in's step that answers zero
  std::vector<std::string> calls;
  bool picture;  // the format's answer is not looked at: that failure still gives a picture
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.failing; }

class FailingMessage : public testing::TestWithParam<FailureCase> {};

TEST_P(FailingMessage, EndsTheRunAsTheSequenceSays) {
  const FailureCase& c = GetParam();
  StillcamRun run = RunStillcam({{"QUERY_STRING", ""}, {"AVICAP_STANDIN_FAIL", c.failing}});
  std::vector<std::string> calls = run.calls;
  if (calls.size() > 4 && calls[4].starts_with("save 0 ")) calls[4] = "save";
  EXPECT_EQ(calls, c.calls);
  if (c.picture) {
    EXPECT_EQ(run.result.exit_code, 0u);
    EXPECT_EQ(run.result.output.substr(0, kHeaderSize), kHeader);
    EXPECT_TRUE(DecodeJpeg(run.result.output.substr(kHeaderSize)).ok);
    EXPECT_EQ(run.left_behind, "");
  } else {
    ExpectCompletedQuietly(run);
    EXPECT_EQ(run.result.errors, "") << "quiet unless asked to be verbose";
  }
}

const std::string kCreate = CreateLine(160, 120);
const std::string kFormat = FormatLine(160, 120);

INSTANTIATE_TEST_SUITE_P(
    EachMessage, FailingMessage,
    testing::Values(
        FailureCase{"create", {kCreate}, false},
        // A connection that failed is not disconnected.
        FailureCase{"connect", {kCreate, "connect 0"}, false},
        FailureCase{"format", {kCreate, "connect 0", kFormat, "grab", "save", "disconnect"}, true},
        FailureCase{"grab", {kCreate, "connect 0", kFormat, "grab", "disconnect"}, false},
        FailureCase{"save", {kCreate, "connect 0", kFormat, "grab", "save", "disconnect"}, false}));

TEST(CaptureDrivers, IndexOneIsTheFirstVfwDriverAndVfwNNamesAnother) {
  struct Case {
    const char* device;
    const char* drivers;
    const char* connect;  // the stand-in's connect line; empty: no window at all
    bool picture;
  };
  const Case cases[] = {
      {"", "0", "connect 0", false},      // no VFW driver installed: the connection fails
      {"", "3", "connect 0", true},       // index 1 stays the first of several
      {"vfw:2", "3", "connect 2", true},  // a driver by its own number
      {"vfw:1", "1", "connect 1", false},
      {"test", "1", "", true},  // the built-in sources need no capture window
      {"vfw:", "1", "", false},
      {"/dev/video0", "1", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("STILLCAM_DEVICE=") + c.device + " drivers=" + c.drivers);
    StillcamRun run = RunStillcam({{"STILLCAM_DEVICE", c.device}, {"AVICAP_STANDIN_DRIVERS", c.drivers}});
    EXPECT_EQ(run.result.exit_code, 0u);
    EXPECT_EQ(run.left_behind, "");
    if (c.connect[0] == '\0') {
      EXPECT_EQ(run.calls, std::vector<std::string>{});
    } else {
      ASSERT_GE(run.calls.size(), 2u);
      EXPECT_EQ(run.calls[1], c.connect);
    }
    EXPECT_EQ(run.result.output.size() > kHeaderSize, c.picture);
  }
}

TEST(CaptureDrivers, VerboseRunSaysWhyInOneLine) {
  StillcamRun run = RunStillcam({{"AVICAP_STANDIN_FAIL", "connect"}, {"STILLCAM_VERBOSE", "1"}});
  ExpectCompletedQuietly(run);
  EXPECT_EQ(run.result.errors, "stillcam: VFW driver 0 (Stand-in capture driver 0) did not connect\r\n")
      << "a line of text, as Windows ends one";
}

TEST(CaptureDrivers, CameraControlsAreRefusedOneLineEachAndThePictureStillComes) {
  StillcamRun run = RunStillcam({{"STILLCAM_CONTROLS", "brightness=40,contrast=20"}});
  EXPECT_EQ(run.result.exit_code, 0u);
  EXPECT_EQ(run.result.errors,
            "stillcam: control brightness: not supported by VFW drivers\r\n"
            "stillcam: control contrast: not supported by VFW drivers\r\n");
  EXPECT_TRUE(DecodeJpeg(run.result.output.substr(kHeaderSize)).ok);
}

TEST(CaptureDrivers, FrameOfTheDriversOwnFormatIsEncodedAsDelivered) {
  // A driver that ignores the format request: 24 bits, another size.
  StillcamRun run = RunStillcam({{"QUERY_STRING", "timestamp"}, {"AVICAP_STANDIN_DELIVER", "200x100x24"}});
  EXPECT_EQ(run.result.exit_code, 0u) << run.result.errors;
  ASSERT_GT(run.result.output.size(), kHeaderSize);
  DecodedJpeg picture = DecodeJpeg(run.result.output.substr(kHeaderSize));
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 200);
  EXPECT_EQ(picture.height, 100);
  EXPECT_EQ(run.left_behind, "");
}

// The response on a pipe is the picture file byte for byte: binary standard output, so that the
// JPEG's 0x0A, 0x0D and 0x1A bytes pass unchanged. The same frame encoded here is the reference.
TEST(BinaryOutput, ResponseBytesArriveUnchangedThroughAPipe) {
  ScratchFolder frames;
  const std::string frame = frames.path() + "\\frame.bmp";
  const std::string reference = frames.path() + "\\reference.jpg";
  // A 24-bit frame of noise, so that the picture holds every byte value.
  std::string bmp;
  {
    std::string pixels(640 * 480 * 3, '\0');
    uint32_t state = 12345;
    for (char& byte : pixels) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<char>(state >> 16);
    }
    bmp = std::string("BM") + std::string(52, '\0') + pixels;
    auto put32 = [&](size_t at, uint32_t value) {
      for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(value >> (8 * i));
    };
    put32(2, static_cast<uint32_t>(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, 640);
    put32(22, 480);
    bmp[26] = 1;
    bmp[28] = 24;
  }
  WriteWholeFile(frame, bmp);
  EncodeJpegFile(LoadFrameBitmap(frame.c_str()), reference.c_str());
  const std::string expected = ReadWholeFile(reference);
  ASSERT_NE(expected.find('\n'), std::string::npos);
  ASSERT_NE(expected.find('\r'), std::string::npos);
  ASSERT_NE(expected.find('\x1a'), std::string::npos);

  StillcamRun run = RunStillcam({{"STILLCAM_DEVICE", "file:" + frame}});
  EXPECT_EQ(run.result.exit_code, 0u) << run.result.errors;
  ASSERT_EQ(run.result.output.size(), kHeaderSize + expected.size());
  EXPECT_EQ(run.result.output.substr(0, kHeaderSize), kHeader);
  EXPECT_TRUE(run.result.output.substr(kHeaderSize) == expected) << "bytes changed on the way";
}

// A client that goes away: the server closes the pipe, the write fails, the run ends with its fault
// line, and still neither file stays.
TEST(BinaryOutput, AReaderThatGoesAwayEndsTheRunWithItsFaultAndNoFile) {
  StillcamRun run = RunStillcam({{"QUERY_STRING", "large"}}, Reader::kGoesAway);
  ASSERT_TRUE(run.result.finished);
  EXPECT_EQ(run.result.exit_code, 1u);
  EXPECT_EQ(run.result.errors.rfind("stillcam: response: ", 0), 0u) << run.result.errors;
  EXPECT_EQ(run.calls.back(), "disconnect");
  EXPECT_EQ(run.left_behind, "");
}

}  // namespace
