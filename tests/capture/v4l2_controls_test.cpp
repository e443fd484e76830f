// Control names as administrators find them in v4l2-ctl --list-ctrls. Setting them is proven on vivid
// in the guest (vivid_test.cpp).
#include "capture/v4l2_controls.h"

#include <gtest/gtest.h>

namespace {

TEST(V4l2ControlName, IsTheLabelAsV4l2CtlPrintsIt) {
  const struct {
    const char* label;
    const char* name;
  } cases[] = {
      {"Brightness", "brightness"},
      {"White Balance, Automatic", "white_balance_automatic"},
      {"Exposure Time, Absolute", "exposure_time_absolute"},
      {"Focus, Automatic Continuous", "focus_automatic_continuous"},
      {"Power Line Frequency", "power_line_frequency"},
      {"Gain (dB)", "gain_db"},
      {"  Leading and trailing  ", "leading_and_trailing"},
      {"Integer 64 Bits", "integer_64_bits"},
      {"---", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(V4l2ControlName(c.label), c.name) << c.label;
}

}  // namespace
