// The built binary, run as a web server runs it, for what the picture finishing adds: the caption,
// the encoding, and the errors of the load, caption and encoding stages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tests/imaging/bmp_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

constexpr char kHeader[] = "Content-type: image/jpg\n\n";
constexpr size_t kHeaderSize = sizeof kHeader - 1;

DecodedJpeg PictureOf(const ProcessResult& result) {
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out.compare(0, kHeaderSize, kHeader), 0);
  return DecodeJpeg(result.out.size() > kHeaderSize ? result.out.substr(kHeaderSize) : "");
}

size_t CountNear(const DecodedJpeg& picture, uint32_t colour, int tolerance, int top, int bottom, int right) {
  size_t count = 0;
  for (int y = top; y < bottom; ++y) {
    for (int x = 0; x < right; ++x) count += ColoursNear(picture.At(x, y), colour, tolerance);
  }
  return count;
}

// The caption sits in the bottom-left corner of the 640x480 picture and changes nothing above it;
// bold is heavier.
TEST(ImagingProcess, LargeSnapshotCarriesTheCaption) {
  TempFolder tmp;
  auto run = [&](const char* query) {
    return RunStillcam(
        {std::string("QUERY_STRING=") + query, "STILLCAM_DEVICE=test", "TMPDIR=" + tmp.path()});
  };
  DecodedJpeg plain = PictureOf(run("large"));
  DecodedJpeg regular = PictureOf(run("large&timestamp"));
  DecodedJpeg bold = PictureOf(run("large&boldtimestamp"));
  for (const DecodedJpeg* picture : {&plain, &regular, &bold}) {
    ASSERT_TRUE(picture->ok) << picture->error;
    ASSERT_EQ(picture->width, 640);
    ASSERT_EQ(picture->height, 480);
  }
  // Blocks of 16 rows are coded apart: everything above the caption's block row is untouched.
  for (int y = 0; y < 456; ++y) {
    for (int x = 0; x < 640; ++x) ASSERT_EQ(regular.At(x, y), plain.At(x, y)) << x << "," << y;
  }
  size_t plain_dark = CountNear(plain, 0x333333, 40, 448, 480, 640);
  size_t dark = CountNear(regular, 0x333333, 40, 448, 480, 160);
  size_t light_on_bars = CountNear(regular, 0xCCCCCC, 24, 448, 480, 160);
  EXPECT_EQ(plain_dark, 0u);
  EXPECT_GT(dark, 150u) << "the outline, in the bottom-left corner";
  EXPECT_GT(light_on_bars, 50u) << "the text";

  EXPECT_EQ(CountNear(regular, 0x333333, 40, 448, 480, 640), dark) << "nothing right of x=160";
  size_t bold_light = CountNear(bold, 0xCCCCCC, 24, 448, 480, 160);
  EXPECT_GT(bold_light, light_on_bars + light_on_bars / 5)
      << "bold strokes are wider: " << bold_light << " vs " << light_on_bars;
  EXPECT_TRUE(tmp.Entries().empty());
}

// A frame delivered as it stands (a driver that ignores the requested format) is encoded exactly as
// cjpeg encodes the same file.
TEST(ImagingProcess, DeliveredFrameEncodesAsCjpegDoes) {
  TempFolder tmp;
  BmpFixture fixture;
  fixture.width = 97;
  fixture.height = 61;
  for (uint32_t y = 0; y < 61; ++y) {
    for (uint32_t x = 0; x < 97; ++x)
      fixture.pixels.push_back((x * 0x020000) | (y * 0x000400) | ((x ^ y) & 0xFF));
  }
  std::string frame = tmp.path() + "/frame.bmp";
  WriteFileBytes(frame, MakeBmp(fixture));
  ProcessResult result =
      RunStillcam({"QUERY_STRING=large", "STILLCAM_DEVICE=file:" + frame, "TMPDIR=" + tmp.path()});
  ProcessResult cjpeg = RunProcess("/usr/bin/cjpeg", {"-quality", "85", "-baseline", frame}, {});
  ASSERT_EQ(cjpeg.exit_status, 0) << cjpeg.err;
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(result.out == kHeader + cjpeg.out);
}

TEST(ImagingProcess, FrameWithoutPixelsGivesTheHeaderAlone) {
  TempFolder tmp;
  BmpFixture fixture;
  fixture.width = 0;
  fixture.height = 0;
  std::string frame = tmp.path() + "/frame.bmp";
  WriteFileBytes(frame, MakeBmp(fixture));
  ProcessResult result =
      RunStillcam({"QUERY_STRING=timestamp", "STILLCAM_DEVICE=file:" + frame, "TMPDIR=" + tmp.path()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, kHeader);
}

// Faults of the finishing stages: one line on stderr, no response, no files left behind.
TEST(ImagingProcess, FaultsEndTheRunWithOneLine) {
  TempFolder tmp;
  TempFolder frames;
  BmpFixture rle;
  rle.bits = 8;
  rle.palette.assign(256, 0);
  std::string rle_bytes = MakeBmp(rle);
  PutLe32(rle_bytes, 30, 1);
  std::string huge = MakeBmp(BmpFixture{});
  PutLe32(huge, 18, 20000);
  PutLe32(huge, 22, 20000);
  std::string valid = MakeBmp(BmpFixture{});
  struct Case {
    std::string frame;
    std::vector<std::string> env;
    std::string message;
  };
  for (const Case& c : {
           Case{"GIF89a", {}, "stillcam: load frame: not a BMP file\n"},
           Case{valid.substr(0, valid.size() - 2), {}, "stillcam: load frame: truncated BMP pixel data"},
           Case{rle_bytes, {}, "stillcam: load frame: RLE-compressed BMP is not supported\n"},
           Case{huge, {}, "stillcam: load frame: BMP of 20000x20000 pixels is too large\n"},
           Case{valid,
                {"STILLCAM_FONT=/nowhere/font.ttf"},
                "stillcam: caption: cannot read font /nowhere/font.ttf (STILLCAM_FONT): No such file or "
                "directory\n"},
       }) {
    std::string frame = frames.path() + "/frame.bmp";
    WriteFileBytes(frame, c.frame);
    std::vector<std::string> env = c.env;
    env.insert(env.end(),
               {"QUERY_STRING=timestamp", "STILLCAM_DEVICE=file:" + frame, "TMPDIR=" + tmp.path()});
    ProcessResult result = RunStillcam(env);
    EXPECT_EQ(result.exit_status, 1) << c.message;
    EXPECT_EQ(result.out, "") << c.message;
    EXPECT_EQ(result.err.compare(0, c.message.size(), c.message), 0) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// Hides the folders fonts are installed in (an empty tmpfs over each, in a mount namespace of the
// run's own), then runs stillcam in there.
ProcessResult RunStillcamWithoutFonts(const std::vector<std::string>& env) {
  const std::string hide =
      "for folder in /usr/share/fonts /usr/local/share/fonts; do"
      "  if [ -d $folder ]; then /bin/mount -t tmpfs tmpfs $folder || exit 99; fi; "
      "done; exec \"$0\"";
  return RunProcess("/usr/bin/unshare", {"--mount", "/bin/sh", "-c", hide, STILLCAM_BINARY}, env);
}

// The caption's glyphs are built in: with no font file to be had, the caption is drawn all the same,
// and exactly as FreeType draws it from the font files.
TEST(ImagingProcess, CaptionNeedsNoFontFile) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
  TempFolder tmp;
  const std::string fonts = "/usr/share/fonts/truetype/dejavu/";
  struct Case {
    const char* query;
    std::string named_font;  // makes a run render with FreeType from the file
  };
  for (const Case& c : {Case{"large&timestamp", "STILLCAM_FONT=" + fonts + "DejaVuSans.ttf"},
                        Case{"boldtimestamp", "STILLCAM_BOLD_FONT=" + fonts + "DejaVuSans-Bold.ttf"}}) {
    SCOPED_TRACE(c.query);
    const std::vector<std::string> env = {std::string("QUERY_STRING=") + c.query, "STILLCAM_DEVICE=test",
                                          "TMPDIR=" + tmp.path()};
    std::vector<std::string> env_with_font = env;
    env_with_font.push_back(c.named_font);
    // Both runs within one minute, so that they caption the same time.
    ProcessResult without_fonts, from_font_file;
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::time_t before = std::time(nullptr);
      without_fonts = RunStillcamWithoutFonts(env);
      from_font_file = RunStillcam(env_with_font);
      if (before / 60 == std::time(nullptr) / 60) break;
    }
    if (without_fonts.exit_status == 99 || without_fonts.err.rfind("unshare:", 0) == 0) {
      GTEST_SKIP() << "no mount namespace with a tmpfs here: " << without_fonts.err;
    }
    ASSERT_EQ(without_fonts.exit_status, 0) << without_fonts.err;
    EXPECT_EQ(without_fonts.err, "");
    DecodedJpeg picture = PictureOf(without_fonts);
    ASSERT_TRUE(picture.ok) << picture.error;
    EXPECT_GT(CountNear(picture, 0xCCCCCC, 24, picture.height - 16, picture.height, 160), 50u) << "the text";
    EXPECT_TRUE(without_fonts.out == from_font_file.out) << "the same picture as from the font file";

    // The fonts were indeed out of reach: the same font named there cannot be read.
    ProcessResult named = RunStillcamWithoutFonts(env_with_font);
    EXPECT_EQ(named.exit_status, 1);
    EXPECT_EQ(named.err.rfind("stillcam: caption: cannot read font", 0), 0u) << named.err;
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// fontconfig costs more to start than a whole run, and FreeType with its libraries costs a run that
// draws built-in glyphs a fifth of its time: neither is linked, FreeType is loaded only when a font
// file is needed (as the dynamic loader's own account of what it loads shows).
TEST(ImagingProcess, FontLibrariesOnlyWhenNeeded) {
  ProcessResult readelf = RunProcess("/usr/bin/readelf", {"--dynamic", STILLCAM_BINARY}, {});
  ASSERT_EQ(readelf.exit_status, 0) << readelf.err;
  EXPECT_EQ(readelf.out.find("fontconfig"), std::string::npos) << readelf.out;
  EXPECT_EQ(readelf.out.find("freetype"), std::string::npos) << readelf.out;
  if (!STILLCAM_LOAD_FREETYPE) GTEST_SKIP() << "FreeType is linked into this build";
  TempFolder tmp;
  auto loaded_libraries = [&](const std::string& query, const std::string& font) {
    std::vector<std::string> env = {"LD_DEBUG=files", "QUERY_STRING=" + query, "STILLCAM_DEVICE=test",
                                    "TMPDIR=" + tmp.path()};
    if (!font.empty()) env.push_back("STILLCAM_FONT=" + font);
    ProcessResult run = RunStillcam(env);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.err;
  };
  const std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  EXPECT_EQ(loaded_libraries("large&timestamp", "").find("libfreetype"), std::string::npos);
  EXPECT_EQ(loaded_libraries("boldtimestamp", "").find("libfreetype"), std::string::npos);
  EXPECT_NE(loaded_libraries("timestamp", font).find("libfreetype.so.6"), std::string::npos)
      << "a named font";
}

}  // namespace
