// cmake --install lays out the CGI program and the page as the deployment instructions say.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

TEST(Install, PutsTheProgramAndThePageUnderThePrefix) {
  TempFolder prefix;
  ProcessResult install = RunProcess(
      STILLCAM_CMAKE, {"--install", STILLCAM_BUILD_DIR, "--prefix", prefix.path()}, {"PATH=/usr/bin:/bin"});
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;

  const std::string program = prefix.path() + "/lib/cgi-bin/stillcam";
  struct stat status {};
  ASSERT_EQ(stat(program.c_str(), &status), 0) << install.out;
  // Executable by the server user, and no setuid or setgid: the program needs no privilege.
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_EQ(ReadFileBytes(prefix.path() + "/share/stillcam/index.html"),
            ReadFileBytes(STILLCAM_SOURCE_DIR "/web/index.html"));

  ProcessResult run = RunProcess(program, {}, {"QUERY_STRING=medium", "STILLCAM_DEVICE=test", "TMPDIR=/tmp"});
  ASSERT_EQ(run.out.rfind("Content-type: image/jpg\n\n", 0), 0u) << run.err;
  DecodedJpeg picture = DecodeJpeg(run.out.substr(25));
  EXPECT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, 320);
}

}  // namespace
