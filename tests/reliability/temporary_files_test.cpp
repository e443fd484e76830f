// The run's two files live only in $TMPDIR, are new, private and never have a name there; a
// temporary folder that is missing, unwritable or full ends the run in the designed way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "base/platform.h"
#include "tests/reliability/reliability_support.h"

namespace {

// A name mkstemps could pick: six characters of [A-Za-z0-9].
std::string RandomRunFileName(std::mt19937& random, const char* suffix) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<int> pick(0, 61);
  std::string name = "stillcam-";
  for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
  return name + suffix;
}

TEST(TemporaryFiles, PlantedLinksAndFilesAreNeitherFollowedNorReused) {
  // All 62^6 names cannot be planted; a folder crowded with traps under names of the right shape,
  // plus the writers' own refusal of links (next test), is what can be shown.
  TempFolder tmp;
  TempFolder outside;
  const std::string victim = outside.path() + "/victim";
  WriteFileBytes(victim, "must stay as it is");
  std::mt19937 random(20261211);
  for (int i = 0; i < 3000; ++i) {
    const char* suffix = (i % 2 == 0) ? ".bmp" : ".jpg";
    const std::string path = tmp.path() + "/" + RandomRunFileName(random, suffix);
    switch (i % 3) {
      case 0:
        std::filesystem::create_symlink(victim, path);
        break;
      case 1:
        std::filesystem::create_symlink(outside.path() + "/would-be-created-" + std::to_string(i), path);
        break;
      default:
        WriteFileBytes(path, "planted " + std::to_string(i));
        break;
    }
  }
  const auto tmp_before = SnapshotTree(tmp.path());
  const auto outside_before = SnapshotTree(outside.path());

  for (const char* query : {"", "medium&timestamp", "large&boldtimestamp", "large"}) {
    ProcessResult result =
        RunStillcam({"STILLCAM_DEVICE=test", "QUERY_STRING=" + std::string(query), "TMPDIR=" + tmp.path()});
    auto [width, height] = ExpectedSize(query);
    EXPECT_EQ(result.exit_status, 0) << query << ": " << result.err;
    EXPECT_EQ(DescribeResponseMismatch(result.out, width, height), "") << query;
  }
  EXPECT_TRUE(SnapshotTree(outside.path()) == outside_before) << "something outside TMPDIR changed";
  EXPECT_TRUE(SnapshotTree(tmp.path()) == tmp_before) << "a planted entry changed, or a run file was left";
}

// The files have no name from the moment they exist, yet the run reaches each by its path.
TEST(TemporaryFiles, RunFilesAreUnnamedAndReachableByPath) {
  TempFolder tmp;
  {
    RunFile frame(tmp.path().c_str(), ".bmp");
    RunFile picture(tmp.path().c_str(), ".jpg");
    EXPECT_TRUE(tmp.Entries().empty());
    WriteFileBytes(frame.path(), "frame bytes");
    WriteFileBytes(picture.path(), "picture");
    EXPECT_EQ(ReadFileBytes(frame.path()), "frame bytes");
    EXPECT_EQ(ReadFileBytes(picture.path()), "picture");
    std::vector<HeldFile> held = FilesHeldIn(getpid(), tmp.path());
    ASSERT_EQ(held.size(), 2u);
    for (const HeldFile& file : held) {
      EXPECT_EQ(file.links, 0u) << file.target;
      EXPECT_EQ(file.mode & 07777, 0600u) << file.target;
    }
  }
  EXPECT_TRUE(FilesHeldIn(getpid(), tmp.path()).empty());
  EXPECT_TRUE(tmp.Entries().empty());
  try {
    RunFile missing((tmp.path() + "/missing").c_str(), ".bmp");
    ADD_FAILURE() << "made a file in a missing folder";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT) << error.what();
  }
}

TEST(TemporaryFiles, LiveRunFilesArePrivateAndNameless) {
  // Held in its response by a reader that takes only the header, the run holds its two files, which
  // have no name in the folder. umask 0 in the child proves the mode does not come from the server's.
  TempFolder tmp;
  StartOptions start;
  start.pipe_capacity = 4096;
  start.clear_umask = true;
  RunningStillcam run({"STILLCAM_DEVICE=test", "QUERY_STRING=large&timestamp", "TMPDIR=" + tmp.path()},
                      start);
  ASSERT_EQ(run.ReadStdout(25), "Content-type: image/jpg\n\n");

  EXPECT_TRUE(tmp.Entries().empty());
  std::vector<HeldFile> held = FilesHeldIn(run.pid(), tmp.path());
  ASSERT_EQ(held.size(), 2u);
  for (const HeldFile& file : held) {
    EXPECT_TRUE(S_ISREG(file.mode)) << file.target;
    EXPECT_EQ(file.mode & 07777, 0600u) << file.target;
    EXPECT_EQ(file.links, 0u) << file.target;
    EXPECT_EQ(file.uid, geteuid()) << file.target;
  }
  ProcessResult result = run.Finish();
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(DescribeResponseMismatch(result.out, 640, 480), "");
  EXPECT_TRUE(tmp.Entries().empty());
}

// What a run must do with a given temporary folder.
enum class Outcome { kQuiet, kFault };

struct FolderCase {
  const char* name;
  Outcome outcome;
  const char* stage;  // for kFault
};

void ExpectOutcome(const ProcessResult& result, const FolderCase& c) {
  if (c.outcome == Outcome::kFault) {
    EXPECT_EQ(DescribeFaultPathMismatch(result, c.stage), "") << c.name;
  } else {
    // A frame that cannot be stored is a failed capture: quiet, nothing sent.
    EXPECT_EQ(result.exit_status, 0) << c.name << ": " << result.err;
    EXPECT_EQ(result.term_signal, 0) << c.name;
    EXPECT_EQ(result.out, "") << c.name;
  }
}

TEST(TemporaryFiles, MissingOrUnusableFolderIsAFault) {
  TempFolder scratch;
  const std::string not_a_folder = scratch.path() + "/plain-file";
  WriteFileBytes(not_a_folder, "");
  const std::string long_path = "/" + std::string(4090, 'x');
  const struct {
    FolderCase expect;
    std::string tmpdir;
  } cases[] = {
      {{"missing", Outcome::kFault, "temporary files"}, scratch.path() + "/does-not-exist"},
      {{"not a folder", Outcome::kFault, "temporary files"}, not_a_folder},
      {{"path too long", Outcome::kFault, "temporary files"}, long_path},
  };
  for (const auto& c : cases) {
    ExpectOutcome(RunStillcam({"STILLCAM_DEVICE=test", "QUERY_STRING=large", "TMPDIR=" + c.tmpdir}),
                  c.expect);
  }
  EXPECT_EQ(RunFilesIn(scratch.path()), std::vector<std::string>{});
}

TEST(TemporaryFiles, UnwritableFolderIsAFault) {
  // The server's user may not write there: run as nobody when we are root (root ignores the mode).
  TempFolder tmp;
  chmod(tmp.path().c_str(), 0755);
  StartOptions start;
  // A copy that nobody may run wherever the build tree lives, as a web server's cgi-bin holds it.
  TempFolder bin;
  chmod(bin.path().c_str(), 0755);
  start.binary = bin.path() + "/stillcam";
  std::filesystem::copy_file(STILLCAM_BINARY, start.binary);
  chmod(start.binary.c_str(), 0755);
  if (geteuid() == 0) {
    start.prefix = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
  } else {
    chmod(tmp.path().c_str(), 0555);
  }
  RunningStillcam run({"STILLCAM_DEVICE=test", "QUERY_STRING=medium", "TMPDIR=" + tmp.path()}, start);
  ProcessResult result = run.Finish();
  EXPECT_EQ(DescribeFaultPathMismatch(result, "temporary files"), "");
  EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
  chmod(tmp.path().c_str(), 0700);
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(TemporaryFiles, ReadOnlyOrFullFolder) {
  std::string why = WhyMountsAreUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  // A 160x120 frame file at 16 bits takes 38454 bytes, ten pages of a tmpfs.
  const struct {
    FolderCase expect;
    std::string mount_options;
  } cases[] = {
      {{"read-only", Outcome::kFault, "temporary files"}, "ro,size=64k"},
      {{"no inode for the second file", Outcome::kFault, "temporary files"}, "size=1m,nr_inodes=2"},
      {{"no room for the frame", Outcome::kQuiet, ""}, "size=8k"},
      {{"room for the frame, none for the picture", Outcome::kFault, "encode picture"}, "size=40k"},
  };
  for (const auto& c : cases) {
    TinyTmpfs tmp(c.mount_options);
    ASSERT_TRUE(tmp.mounted()) << c.expect.name;
    for (const char* query : {"", "timestamp"}) {
      ProcessResult result =
          RunStillcam({"STILLCAM_DEVICE=test", "QUERY_STRING=" + std::string(query), "TMPDIR=" + tmp.path()});
      ExpectOutcome(result, c.expect);
      EXPECT_EQ(RunFilesIn(tmp.path()), std::vector<std::string>{}) << c.expect.name;
    }
  }
}

}  // namespace
