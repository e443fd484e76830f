// The frame loader and the encoder on Windows: the same code as on Linux, over the Windows side of
// the platform layer (file views at the system's granularity, descriptors over Win32 handles).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "tests/imaging/bmp_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/windows/win_process.h"

namespace {

TEST(FrameLoader, ReadsEveryLayoutOfTheCorpus) {
  const char* files[] = {"rgb24-bottom-up.bmp", "rgb24-top-down.bmp", "rgb555.bmp", "bitfields565-info40.bmp",
                         "bitfields32-v5.bmp",  "rgb32-v4.bmp",       "pal1.bmp",   "pal4-52.bmp",
                         "pal8-used3.bmp"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    const std::string path = WindowsPath(std::string(STILLCAM_SOURCE_DIR) + "/tests/fuzz/corpus/bmp/" + file);
    FrameBitmap frame = LoadFrameBitmap(path.c_str());
    EXPECT_GT(frame.width(), 0);
    EXPECT_GT(frame.height(), 0);
  }
}

TEST(FrameLoader, RefusesWhatIsNotAWholeBmp) {
  ScratchFolder folder;
  BmpFixture fixture;
  fixture.width = 40;
  fixture.height = 30;
  fixture.pixels = Uniform(40, 30, 0xFF0000);
  const std::string whole = MakeBmp(fixture);
  const std::string cases[] = {"", "not a bitmap at all", whole.substr(0, 54),
                               whole.substr(0, whole.size() - 1)};
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    const std::string path = folder.path() + "\\frame.bmp";
    WriteWholeFile(path, bytes);
    EXPECT_THROW(LoadFrameBitmap(path.c_str()), std::exception);
  }
  EXPECT_THROW(LoadFrameBitmap((folder.path() + "\\missing.bmp").c_str()), std::exception);
}

TEST(Encoder, ColoursSurviveAndAFrameWithoutPixelsGivesAnEmptyFile) {
  ScratchFolder folder;
  BmpFixture fixture;
  fixture.width = 64;
  fixture.height = 48;
  fixture.pixels = Uniform(64, 48, 0xFF0000);
  const std::string frame = folder.path() + "\\frame.bmp";
  const std::string picture = folder.path() + "\\picture.jpg";
  WriteWholeFile(frame, MakeBmp(fixture));
  EncodeJpegFile(LoadFrameBitmap(frame.c_str()), picture.c_str());
  DecodedJpeg decoded = DecodeJpeg(ReadWholeFile(picture));
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.width, 64);
  EXPECT_EQ(decoded.height, 48);
  EXPECT_TRUE(ColoursNear(decoded.At(32, 24), 0xFF0000, 8)) << "red stays red";

  WriteWholeFile(picture, "old picture, longer than the new one");
  EncodeJpegFile(FrameBitmap{}, picture.c_str());
  EXPECT_EQ(ReadWholeFile(picture), "");
}

}  // namespace
