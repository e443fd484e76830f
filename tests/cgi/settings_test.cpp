// The settings record: every variable, its default, and what a value that cannot be used becomes.
#include "cgi/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace {

Settings Read(const std::map<std::string, std::string>& environment, std::vector<std::string>& warnings) {
  return ReadSettings(
      [&](const char* name) {
        auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
      },
      warnings);
}

TEST(Settings, DefaultsWhenNothingOrOnlyEmptyValuesAreSet) {
  const std::string kVariables[] = {"TMPDIR",           "STILLCAM_DEVICE",   "STILLCAM_SKIP_FRAMES",
                                    "STILLCAM_VERBOSE", "STILLCAM_FONT",     "STILLCAM_BOLD_FONT",
                                    "STILLCAM_SHARE",   "STILLCAM_CONTROLS", "STILLCAM_FLIP"};
  std::map<std::string, std::string> empty;
  for (const std::string& name : kVariables) empty[name] = "";
  for (const auto& environment : {std::map<std::string, std::string>{}, empty}) {
    SCOPED_TRACE(environment.empty() ? "nothing set" : "everything set and empty");
    std::vector<std::string> warnings;
    Settings settings = Read(environment, warnings);
    EXPECT_EQ(settings.temporary_folder, "/tmp");
    EXPECT_EQ(settings.device, std::nullopt);
    EXPECT_EQ(settings.skip_frames, 5);
    EXPECT_FALSE(settings.verbose);
    EXPECT_EQ(settings.font, "");
    EXPECT_EQ(settings.bold_font, "");
    EXPECT_TRUE(settings.share);
    EXPECT_TRUE(settings.camera_controls.empty());
    EXPECT_EQ(settings.flip, FrameFlip::kNone);
    EXPECT_TRUE(warnings.empty());
  }
}

TEST(Settings, ValuesAreTakenAsTheyStand) {
  std::vector<std::string> warnings;
  Settings settings = Read({{"TMPDIR", "/var/tmp/cam"},
                            {"STILLCAM_DEVICE", "file:/srv/offline.bmp"},
                            {"STILLCAM_SKIP_FRAMES", "12"},
                            {"STILLCAM_VERBOSE", "1"},
                            {"STILLCAM_FONT", "/fonts/a.ttf"},
                            {"STILLCAM_BOLD_FONT", "/fonts/b.ttf"},
                            {"STILLCAM_SHARE", "0"},
                            {"STILLCAM_CONTROLS", "brightness=40,auto_exposure=1"},
                            {"STILLCAM_FLIP", "hv"}},
                           warnings);
  EXPECT_EQ(settings.temporary_folder, "/var/tmp/cam");
  EXPECT_EQ(settings.device, "file:/srv/offline.bmp");
  EXPECT_EQ(settings.skip_frames, 12);
  EXPECT_TRUE(settings.verbose);
  EXPECT_EQ(settings.font, "/fonts/a.ttf");
  EXPECT_EQ(settings.bold_font, "/fonts/b.ttf");
  EXPECT_FALSE(settings.share);
  EXPECT_EQ(settings.camera_controls, (std::vector<CameraControl>{{"brightness", 40}, {"auto_exposure", 1}}));
  EXPECT_EQ(settings.flip, FrameFlip::kBoth);
  EXPECT_TRUE(warnings.empty());
}

// One rule for every number and switch: a whole value in range is used, anything else is reported in
// one line and replaced by the default; nothing is clamped.
TEST(Settings, AValueThatCannotBeUsedIsReportedAndGivesTheDefault) {
  struct Case {
    const char* name;
    const char* value;
    int skip_frames;
    bool verbose;
    const char* warning;  // nullptr: none
    bool share = true;
  } cases[] = {
      {"STILLCAM_SKIP_FRAMES", "0", 0, false, nullptr},
      {"STILLCAM_SKIP_FRAMES", "100", 100, false, nullptr},
      {"STILLCAM_SKIP_FRAMES", "0100", 100, false, nullptr},
      {"STILLCAM_SKIP_FRAMES", "101", 5, false,
       "STILLCAM_SKIP_FRAMES=101 ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_SKIP_FRAMES", "1000", 5, false,
       "STILLCAM_SKIP_FRAMES=1000 ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_SKIP_FRAMES", "99999999999999999999", 5, false,
       "STILLCAM_SKIP_FRAMES=99999999999999999999 ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_SKIP_FRAMES", "-3", 5, false,
       "STILLCAM_SKIP_FRAMES=-3 ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_SKIP_FRAMES", "5x", 5, false,
       "STILLCAM_SKIP_FRAMES=5x ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_SKIP_FRAMES", " 7", 5, false,
       "STILLCAM_SKIP_FRAMES= 7 ignored: not a whole number from 0 to 100; using 5"},
      {"STILLCAM_VERBOSE", "0", 5, false, nullptr},
      {"STILLCAM_VERBOSE", "yes", 5, false, "STILLCAM_VERBOSE=yes ignored: neither 1 nor 0; using 0"},
      {"STILLCAM_VERBOSE", "10", 5, false, "STILLCAM_VERBOSE=10 ignored: neither 1 nor 0; using 0"},
      {"STILLCAM_SHARE", "0", 5, false, nullptr, false},
      {"STILLCAM_SHARE", "off", 5, false, "STILLCAM_SHARE=off ignored: neither 1 nor 0; using 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    std::vector<std::string> warnings;
    Settings settings = Read({{c.name, c.value}}, warnings);
    EXPECT_EQ(settings.skip_frames, c.skip_frames);
    EXPECT_EQ(settings.verbose, c.verbose);
    EXPECT_EQ(settings.share, c.share);
    EXPECT_EQ(warnings, c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
  }
}

// Controls keep their order; an item that is not name=whole number is reported alone and left out, so
// that the others still reach the camera. Whether the camera has the name is the camera's to say.
TEST(Settings, CameraControlsAreReadItemByItem) {
  struct Case {
    const char* value;
    std::vector<CameraControl> controls;
    std::vector<std::string> warnings;
  } cases[] = {
      {"contrast=20,brightness=-5,contrast=30", {{"contrast", 20}, {"brightness", -5}, {"contrast", 30}}, {}},
      {" brightness = 40 , ,gain=0,", {{"brightness", 40}, {"gain", 0}}, {}},
      {"exposure_time_absolute=9223372036854775807", {{"exposure_time_absolute", INT64_MAX}}, {}},
      {"brightness,contrast=20", {{"contrast", 20}}, {"control brightness: not name=value"}},
      {"=5,contrast=20", {{"contrast", 20}}, {"control =5: not name=value"}},
      {"brightness=bright,contrast=2x,gain=",
       {},
       {"control brightness: bright is not a whole number", "control contrast: 2x is not a whole number",
        "control gain:  is not a whole number"}},
      {"gain=9223372036854775808,gain=-9223372036854775808",
       {{"gain", INT64_MIN}},
       {"control gain: 9223372036854775808 is not a whole number"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::vector<std::string> warnings;
    Settings settings = Read({{"STILLCAM_CONTROLS", c.value}}, warnings);
    EXPECT_EQ(settings.camera_controls, c.controls);
    EXPECT_EQ(warnings, c.warnings);
  }
}

TEST(Settings, FlipIsHVOrBothAndAnythingElseIsReported) {
  const struct {
    const char* value;
    FrameFlip flip;
    const char* warning;
  } cases[] = {
      {"h", FrameFlip::kHorizontal, nullptr},
      {"v", FrameFlip::kVertical, nullptr},
      {"hv", FrameFlip::kBoth, nullptr},
      {"H", FrameFlip::kNone, "STILLCAM_FLIP=H ignored: not h, v or hv; using no flip"},
      {"vh", FrameFlip::kNone, "STILLCAM_FLIP=vh ignored: not h, v or hv; using no flip"},
      {"180", FrameFlip::kNone, "STILLCAM_FLIP=180 ignored: not h, v or hv; using no flip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::vector<std::string> warnings;
    EXPECT_EQ(Read({{"STILLCAM_FLIP", c.value}}, warnings).flip, c.flip);
    EXPECT_EQ(warnings, c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
  }
}

// The warning reaches the server's error log, and the run goes on with the default.
TEST(Settings, TheProgramWarnsOnStderrAndStillAnswers) {
  TempFolder tmp;
  ProcessResult result = RunStillcam(
      {"STILLCAM_DEVICE=test", "STILLCAM_SKIP_FRAMES=1000", "QUERY_STRING=", "TMPDIR=" + tmp.path()});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err,
            "stillcam: STILLCAM_SKIP_FRAMES=1000 ignored: not a whole number from 0 to 100; using 5\n");
  EXPECT_GT(result.out.size(), 25u);
}

}  // namespace
