#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/jpeg_decode.h"

// The qemu guest with real kernel cameras (vivid, and v4l2loopback fed like USB webcams), booted
// once for the whole test program. Tests read what its requests left in the results folder.
class GuestTest : public testing::Test {
 protected:
  void SetUp() override;

  // A file of the results folder: NAME.out, .err, .status ("0\n"), .left (files left in TMPDIR), .ms.
  static std::string Result(const std::string& name);

  // What one request sent back, decoded, after checking that it ended well, said only err on stderr
  // and left nothing.
  static DecodedJpeg Picture(const std::string& name, const std::string& err = "");

  // Checks that a request failed quietly: exit status 0, no output, nothing left. Returns its stderr.
  static std::string QuietFailure(const std::string& name);
};
