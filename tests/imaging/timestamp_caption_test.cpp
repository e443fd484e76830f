#include "imaging/timestamp_caption.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "imaging/bmp_reader.h"
#include "imaging/caption_font.h"
#include "imaging/font_lookup.h"
#include "tests/imaging/bmp_fixture.h"
#include "tests/support/process_runner.h"

// LeakSanitizer reads this where the build has it: glibc's newlocale keeps a copy of LOCPATH that it
// never frees, which happens only when LOCPATH is set, as the private locales below set it.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace {

constexpr char kCaption[] = " 2024-Mar-03  09:07 ";
constexpr uint32_t kBackground = 0x2060A0;
constexpr char kSerif[] = "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf";

FrameBitmap Frame(int32_t width, int32_t height, uint16_t bits = 24, uint32_t fill = kBackground,
                  std::vector<uint32_t> masks = {}, std::vector<uint32_t> palette = {}) {
  BmpFixture fixture;
  fixture.width = width;
  fixture.height = height;
  fixture.bits = bits;
  fixture.compression = masks.empty() ? 0 : 3;
  fixture.masks = std::move(masks);
  fixture.palette = std::move(palette);
  fixture.pixels = Uniform(width, height, fill);
  std::string bytes = MakeBmp(fixture);
  return ParseFrameBitmap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// What each pixel became, as 0xRRGGBB; and where each colour is.
std::map<uint32_t, std::vector<std::pair<int32_t, int32_t>>> PixelsByColour(const FrameBitmap& frame) {
  std::map<uint32_t, std::vector<std::pair<int32_t, int32_t>>> by_colour;
  for (int32_t y = 0; y < frame.height(); ++y) {
    for (int32_t x = 0; x < frame.width(); ++x) by_colour[frame.RgbAt(x, y)].push_back({x, y});
  }
  return by_colour;
}

struct Extent {
  int32_t left = INT32_MAX, right = INT32_MIN, top = INT32_MAX, bottom = INT32_MIN;
  size_t count = 0;
};

Extent ExtentOf(const std::vector<std::pair<int32_t, int32_t>>& pixels) {
  Extent extent;
  for (auto [x, y] : pixels) {
    extent.left = std::min(extent.left, x);
    extent.right = std::max(extent.right, x);
    extent.top = std::min(extent.top, y);
    extent.bottom = std::max(extent.bottom, y);
  }
  extent.count = pixels.size();
  return extent;
}

TEST(CaptionText, FollowsThePattern) {
  ASSERT_NE(std::setlocale(LC_TIME, "C"), nullptr);
  struct Case {
    int year, month, day, hour, minute;
    const char* text;
  };
  for (const Case& c :
       {Case{2024, 3, 3, 9, 7, kCaption}, Case{1999, 12, 31, 23, 59, " 1999-Dec-31  23:59 "},
        Case{2030, 1, 1, 0, 0, " 2030-Jan-01  00:00 "}, Case{999, 5, 9, 1, 2, " 0999-May-09  01:02 "},
        Case{7, 11, 30, 12, 30, " 0007-Nov-30  12:30 "}}) {
    SCOPED_TRACE(c.text);
    std::tm time{};
    time.tm_year = c.year - 1900;
    time.tm_mon = c.month - 1;
    time.tm_mday = c.day;
    time.tm_hour = c.hour;
    time.tm_min = c.minute;
    EXPECT_EQ(FormatCaptionText(time), c.text);
  }
}

// Locales of this test, made from Debian's locale sources into a folder of its own, so that the test
// depends on no locale being installed on the system.
class PrivateLocales {
 public:
  PrivateLocales() {
    RunProcess("/usr/bin/localedef", {"-i", "ru_RU", "-f", "KOI8-R", folder_.path() + "/ru_RU.KOI8-R"}, {});
    setenv("LOCPATH", folder_.path().c_str(), 1);
  }
  ~PrivateLocales() {
    std::setlocale(LC_TIME, "C");
    unsetenv("LOCPATH");
  }
  PrivateLocales(const PrivateLocales&) = delete;
  PrivateLocales& operator=(const PrivateLocales&) = delete;

 private:
  TempFolder folder_;
};

// A locale whose character set is not UTF-8 gives its month names in that set (KOI8-R: "мар" is
// CD C1 D2); the caption is UTF-8 all the same.
TEST(CaptionText, MonthNamesOfAnEightBitLocaleAreDecoded) {
  PrivateLocales locales;
  ASSERT_NE(std::setlocale(LC_TIME, "ru_RU.KOI8-R"), nullptr) << "localedef made no ru_RU.KOI8-R";
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mday = 3;
  for (auto [month, text] : {std::pair{0, " 2024-янв-03  00:00 "}, std::pair{2, " 2024-мар-03  00:00 "},
                             std::pair{4, " 2024-мая-03  00:00 "}, std::pair{11, " 2024-дек-03  00:00 "}}) {
    time.tm_mon = month;
    EXPECT_EQ(FormatCaptionText(time), text);
  }
}

// The locale variables a web server passes reach the caption in POSIX's order (LC_ALL, then LC_TIME,
// then LANG; an empty one does not count), and a C-like locale gives the C names.
TEST(CaptionText, MonthNamesFollowTheLocaleOfTheEnvironment) {
  PrivateLocales locales;
  struct Case {
    const char* lc_all;
    const char* lc_time;
    const char* lang;
    const char* text;
  };
  const char* russian = " 2024-мар-03  00:00 ";
  const char* english = " 2024-Mar-03  00:00 ";
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mon = 2;
  time.tm_mday = 3;
  for (const Case& c :
       {Case{nullptr, nullptr, "C.UTF-8", english}, Case{nullptr, nullptr, nullptr, english},
        Case{nullptr, "ru_RU.KOI8-R", "C.UTF-8", russian}, Case{nullptr, nullptr, "ru_RU.KOI8-R", russian},
        Case{"C", "ru_RU.KOI8-R", nullptr, english}, Case{"", "ru_RU.KOI8-R", nullptr, russian},
        Case{nullptr, "POSIX", "ru_RU.KOI8-R", english}, Case{"C.UTF-8", nullptr, "ru_RU.KOI8-R", english}}) {
    SCOPED_TRACE(std::string("LC_ALL=") + (c.lc_all ? c.lc_all : "(unset)") + " LC_TIME=" +
                 (c.lc_time ? c.lc_time : "(unset)") + " LANG=" + (c.lang ? c.lang : "(unset)"));
    std::setlocale(LC_TIME, "C");
    for (auto [name, value] :
         {std::pair{"LC_ALL", c.lc_all}, std::pair{"LC_TIME", c.lc_time}, std::pair{"LANG", c.lang}}) {
      if (value != nullptr)
        setenv(name, value, 1);
      else
        unsetenv(name);
    }
    LoadLocalTimeSettings();
    EXPECT_EQ(FormatCaptionText(time), c.text);
  }
}

// The light text is framed by a dark rim one pixel wide on every side, diagonals included; nothing
// else in the frame changes.
TEST(Caption, LightTextWithDarkRimAndNothingElse) {
  FrameBitmap frame = Frame(160, 120);
  DrawCaptionText(frame, kCaption, 120, false, {});
  auto by_colour = PixelsByColour(frame);
  ASSERT_EQ(by_colour.size(), 3u) << "only background, outline and text colours";
  ASSERT_TRUE(by_colour.count(0x333333) && by_colour.count(0xCCCCCC));
  auto colour_at = [&](int32_t x, int32_t y) {
    return x < 0 || y < 0 || x >= frame.width() || y >= frame.height() ? kBackground : frame.RgbAt(x, y);
  };
  for (auto [x, y] : by_colour[0xCCCCCC]) {
    for (int dx = -1; dx <= 1; ++dx) {
      for (int dy = -1; dy <= 1; ++dy)
        EXPECT_NE(colour_at(x + dx, y + dy), kBackground) << x + dx << "," << y + dy;
    }
  }
  for (auto [x, y] : by_colour[0x333333]) {
    bool next_to_text = false;
    for (int dx = -1; dx <= 1; ++dx) {
      for (int dy = -1; dy <= 1; ++dy) next_to_text |= colour_at(x + dx, y + dy) == 0xCCCCCC;
    }
    EXPECT_TRUE(next_to_text) << x << "," << y;
  }
  // The text's cell is 14 rows of DejaVu Sans at 11 px, its top at 120 - 14 - 1; no descenders here.
  Extent text = ExtentOf(by_colour[0xCCCCCC]);
  EXPECT_GE(text.top, 105);
  EXPECT_EQ(text.bottom, 115) << "digits sit on the baseline, 11 rows below the cell's top";
  EXPECT_GE(text.left, 2) << "after the leading space";
  EXPECT_LT(text.right, 120);
}

// With a glyph that starts at its pen position ('4') and one that reaches the font's descent ('|'),
// the rim reaches column 0 and the bottom row of a frame of the requested size, and the light text
// ends one row above it. Taller and smaller frames keep the place computed from the requested height.
TEST(Caption, PlacedByRequestedHeight) {
  struct Case {
    int32_t frame_height;
    int32_t requested_height;
    bool drawn;
    int32_t rim_bottom;
  };
  for (const Case& c : {Case{120, 120, true, 119}, Case{480, 480, true, 479}, Case{240, 120, true, 119},
                        Case{110, 120, true, 109}, Case{100, 120, false, 0}, Case{120, 240, false, 0}}) {
    SCOPED_TRACE("frame " + std::to_string(c.frame_height) + ", requested " +
                 std::to_string(c.requested_height));
    FrameBitmap frame = Frame(40, c.frame_height);
    DrawCaptionText(frame, "4|", c.requested_height, false, {});
    auto by_colour = PixelsByColour(frame);
    if (!c.drawn) {
      EXPECT_EQ(by_colour.size(), 1u) << "the caption lies wholly outside the frame";
      continue;
    }
    Extent rim = ExtentOf(by_colour[0x333333]);
    Extent text = ExtentOf(by_colour[0xCCCCCC]);
    EXPECT_EQ(rim.top, c.requested_height - 13);
    EXPECT_EQ(rim.bottom, c.rim_bottom);
    EXPECT_EQ(text.top, c.requested_height - 12);
    if (c.frame_height >= c.requested_height) {  // the whole caption is in the frame
      EXPECT_EQ(rim.left, 0);
      EXPECT_EQ(text.left, 1);
    }
    EXPECT_EQ(text.bottom, std::min(c.requested_height - 2, c.frame_height - 1));
  }
}

struct Format {
  const char* name;
  uint16_t bits;
  std::vector<uint32_t> masks;
  std::vector<uint32_t> palette;
  uint32_t fill;        // raw background value
  uint32_t background;  // as RgbAt reads it
  uint32_t outline;
  uint32_t text;
};

void PrintTo(const Format& format, std::ostream* out) { *out << format.name; }

std::vector<Format> Formats() {
  return {
      {"Rgb24", 24, {}, {}, kBackground, kBackground, 0x333333, 0xCCCCCC},
      {"Rgb32", 32, {}, {}, 0x7F000000 | kBackground, kBackground, 0x333333, 0xCCCCCC},
      // 5 bits per channel: 51 >> 3 = 6 and 204 >> 3 = 25, widened back by bit replication.
      {"Rgb555", 16, {0x7C00, 0x03E0, 0x001F}, {}, 0x1194, 0x2163A5, 0x313131, 0xCECECE},
      {"Rgb565", 16, {0xF800, 0x07E0, 0x001F}, {}, 0x2314, 0x2161A5, 0x313031, 0xCECFCE},
      {"Palette8",
       8,
       {},
       {kBackground, 0xFFFFFF, 0xD0D0D0, 0x303030, 0x000000},
       0,
       kBackground,
       0x303030,
       0xD0D0D0},
      {"Palette1", 1, {}, {0x000000, 0xFFFFFF}, 0, 0x000000, 0x000000, 0xFFFFFF},
  };
}

class CaptionFormatTest : public testing::TestWithParam<Format> {};

// Drawn in the frame's own format: the colours are held at the format's precision (or the nearest
// palette entry), at the same pixels as in a 24-bit frame, and bits outside the colours stay.
TEST_P(CaptionFormatTest, DrawnInTheFramesOwnFormat) {
  const Format& format = GetParam();
  FrameBitmap reference = Frame(160, 120);
  DrawCaptionText(reference, kCaption, 120, false, {});
  std::vector<uint32_t> palette = format.palette;
  if (format.bits == 8) palette.resize(256, 0x808080);
  FrameBitmap frame = Frame(160, 120, format.bits, format.fill, format.masks, palette);
  DrawCaptionText(frame, kCaption, 120, false, {});
  for (int32_t y = 0; y < 120; ++y) {
    for (int32_t x = 0; x < 160; ++x) {
      uint32_t expected = reference.RgbAt(x, y) == 0x333333   ? format.outline
                          : reference.RgbAt(x, y) == 0xCCCCCC ? format.text
                                                              : format.background;
      ASSERT_EQ(frame.RgbAt(x, y), expected) << "at " << x << "," << y;
      if (format.bits == 32) {
        ASSERT_EQ(frame.Row(y)[x * 4 + 3], 0x7F) << "alpha at " << x << "," << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Caption, CaptionFormatTest, testing::ValuesIn(Formats()),
                         [](const testing::TestParamInfo<Format>& param) {
                           return std::string(param.param.name);
                         });

size_t TextPixels(bool bold, const NamedFonts& fonts = {}) {
  FrameBitmap frame = Frame(160, 120);
  DrawCaptionText(frame, kCaption, 120, bold, fonts);
  return PixelsByColour(frame)[0xCCCCCC].size();
}

TEST(Caption, BoldIsHeavier) {
  size_t regular = TextPixels(false);
  size_t bold = TextPixels(true);
  EXPECT_GT(bold, regular + regular / 5) << "regular " << regular << ", bold " << bold;
  // A font named without a bold face is emboldened for bold captions.
  const NamedFonts serif_only{kSerif, ""};
  size_t serif = TextPixels(false, serif_only);
  EXPECT_NE(serif, regular) << "the named font is used";
  EXPECT_GT(TextPixels(true, serif_only), serif + serif / 5);
}

TEST(Caption, NamedFontsComeFirst) {
  constexpr char kSerifBold[] = "/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf";
  EXPECT_EQ(FindCaptionFont({}, false).path, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
  EXPECT_EQ(FindCaptionFont({}, true).path, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf");
  EXPECT_EQ(FindCaptionFont({kSerif, ""}, false).path, kSerif);
  EXPECT_EQ(FindCaptionFont({kSerif, ""}, true).path, kSerif);
  EXPECT_EQ(FindCaptionFont({kSerif, kSerifBold}, false).path, kSerif);
  EXPECT_EQ(FindCaptionFont({kSerif, kSerifBold}, true).path, kSerifBold);
  EXPECT_EQ(FindCaptionFont({"", kSerifBold}, false).path, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
}

TEST(Caption, FontThatCannotBeLoadedIsAnError) {
  TempFolder folder;
  std::string not_a_font = folder.path() + "/frame.ttf";
  WriteFileBytes(not_a_font, MakeBmp(BmpFixture{}));
  std::string fifo = folder.path() + "/fifo.ttf";  // would block a reader that opens it plainly
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* variable;
    std::string path;
    bool bold;
    std::string message;  // the start of it
  };
  for (const Case& c :
       {Case{"STILLCAM_FONT", "/nowhere/font.ttf", false,
             "cannot read font /nowhere/font.ttf (STILLCAM_FONT): No such file or directory"},
        Case{"STILLCAM_FONT", fifo, false,
             "cannot read font " + fifo + " (STILLCAM_FONT): not a regular file"},
        Case{"STILLCAM_FONT", folder.path(), false,
             "cannot read font " + folder.path() + " (STILLCAM_FONT): not a regular file"},
        Case{"STILLCAM_FONT", not_a_font, false, "cannot load font " + not_a_font + " (STILLCAM_FONT): "},
        Case{"STILLCAM_BOLD_FONT", "/nowhere/bold.ttf", true,
             "cannot read font /nowhere/bold.ttf (STILLCAM_BOLD_FONT): No such file or directory"}}) {
    NamedFonts fonts;
    (std::string(c.variable) == "STILLCAM_FONT" ? fonts.regular : fonts.bold) = c.path;
    FrameBitmap frame = Frame(16, 16);
    try {
      DrawCaptionText(frame, kCaption, 16, c.bold, fonts);
      ADD_FAILURE() << c.path << " was loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).compare(0, c.message.size(), c.message), 0) << error.what();
    }
  }
}

// Month names of other locales: UTF-8 ("M\xC3\xA4r"), or Latin-1 bytes from a legacy locale, both
// give the one glyph; UTF-8 read byte by byte would give two.
TEST(Caption, MonthNamesBeyondAscii) {
  CaptionFont font(FindCaptionFont({}, false), false);
  auto points = [&](const std::string& text) {
    std::vector<std::pair<int32_t, int32_t>> result;
    for (InkPixel pixel : font.Render(text)) result.push_back({pixel.x, pixel.y});
    return result;
  };
  EXPECT_EQ(points("M\xC3\xA4r"), points("M\xE4r"));
  EXPECT_NE(points("M\xC3\xA4r"), points("M\xC3\x83\xC2\xA4r"));
}

// The fallback for systems without DejaVu where we look for it.
TEST(Caption, FontconfigFallbackFindsAUsableFont) {
  for (bool bold : {false, true}) {
    std::string path = FontconfigMatch(bold ? "sans-serif:bold" : "sans-serif");
    ASSERT_FALSE(path.empty());
    CaptionFont font({path, "fontconfig"}, bold);
    EXPECT_GT(font.LineHeight(), 8);
    EXPECT_FALSE(font.Render("Cy").empty());
  }
}

}  // namespace
