// cmake --install lays out the CGI program and the page as the deployment instructions say, and the
// uninstall target takes away exactly that again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

namespace fs = std::filesystem;

// Every path under root, relative to it, folders marked with a trailing slash.
std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> paths;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    paths.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
  }
  return paths;
}

ProcessResult Install(const std::string& prefix) {
  return RunProcess(STILLCAM_CMAKE, {"--install", STILLCAM_BUILD_DIR, "--prefix", prefix},
                    {"PATH=/usr/bin:/bin"});
}

ProcessResult Uninstall() {
  return RunProcess(STILLCAM_CMAKE, {"--build", STILLCAM_BUILD_DIR, "--target", "uninstall"},
                    {"PATH=/usr/bin:/bin"});
}

TEST(Install, PutsTheProgramAndThePageUnderThePrefix) {
  TempFolder prefix;
  ProcessResult install = Install(prefix.path());
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  EXPECT_EQ(Tree(prefix.path()),
            (std::set<std::string>{"lib/", "lib/cgi-bin/", "lib/cgi-bin/stillcam", "share/",
                                   "share/stillcam/", "share/stillcam/index.html"}));

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

  ProcessResult uninstall = Uninstall();
  ASSERT_EQ(uninstall.exit_status, 0) << uninstall.out << uninstall.err;
  EXPECT_TRUE(Tree(prefix.path()).empty()) << uninstall.out;
}

// A staged installation (DESTDIR, as for a package) is taken away from where it was staged, and the
// same paths outside the stage are never touched.
TEST(Install, UninstallOfAStagedInstallationRemovesTheStagedFiles) {
  TempFolder stage;
  ProcessResult install = RunProcess(STILLCAM_CMAKE, {"--install", STILLCAM_BUILD_DIR, "--prefix", "/usr"},
                                     {"PATH=/usr/bin:/bin", "DESTDIR=" + stage.path()});
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  ASSERT_TRUE(fs::exists(stage.path() + "/usr/lib/cgi-bin/stillcam")) << install.out;

  ProcessResult uninstall = Uninstall();
  ASSERT_EQ(uninstall.exit_status, 0) << uninstall.out << uninstall.err;
  EXPECT_TRUE(Tree(stage.path()).empty()) << uninstall.out;
  EXPECT_EQ(uninstall.out.find("Removing /usr/"), std::string::npos) << uninstall.out;
}

// Folders that were there before, and what others put in them, stay; so does a file of the same
// name as ours in a folder the installation does not use. Installing twice changes nothing of that.
TEST(Install, UninstallLeavesWhatWasThereBefore) {
  TempFolder prefix;
  fs::create_directories(prefix.path() + "/lib/cgi-bin");
  fs::create_directories(prefix.path() + "/share/doc");
  WriteFileBytes(prefix.path() + "/lib/cgi-bin/other-program", "#!/bin/sh\n");
  WriteFileBytes(prefix.path() + "/share/doc/index.html", "someone else's page");
  const std::set<std::string> before = Tree(prefix.path());

  for (int round = 0; round < 2; ++round) {
    ProcessResult install = Install(prefix.path());
    ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  }
  ASSERT_TRUE(fs::exists(prefix.path() + "/share/stillcam/index.html"));
  ProcessResult uninstall = Uninstall();
  ASSERT_EQ(uninstall.exit_status, 0) << uninstall.out << uninstall.err;
  EXPECT_EQ(Tree(prefix.path()), before) << uninstall.out;
  EXPECT_EQ(ReadFileBytes(prefix.path() + "/share/doc/index.html"), "someone else's page");

  // With nothing installed there is nothing to remove, and it says so.
  ProcessResult again = Uninstall();
  EXPECT_NE(again.exit_status, 0);
  EXPECT_NE((again.out + again.err).find("Nothing to uninstall"), std::string::npos)
      << again.out << again.err;
}

}  // namespace
