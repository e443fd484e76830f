// The run's two files live only in $TMPDIR, are new, private and never have a name there; a
// temporary folder that is missing, unwritable or full ends the run in the designed way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "base/platform.h"
#include "base/unique_fd.h"
#include "tests/reliability/reliability_support.h"

namespace {

#if defined(STILLCAM_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

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

// The run opens its files by path again and again (writer, loader, encoder, response); each
// opening reaches the same file from its beginning, whatever an earlier one left.
TEST(TemporaryFiles, EveryOpeningOfARunFileStartsAtItsBeginning) {
  TempFolder tmp;
  RunFile file(tmp.path().c_str(), ".jpg");
  auto rewrite = [&](const std::string& bytes) {
    UniqueFd out(OpenForRewriting(file.path()));
    ASSERT_TRUE(out.valid()) << std::strerror(errno);
    ASSERT_TRUE(WriteAllBytes(out.get(), bytes.data(), bytes.size()));
    ASSERT_TRUE(CutAtPosition(out.get()));
  };
  auto read_some = [&](size_t size) {
    UniqueFd in(OpenForReading(file.path(), false));
    std::string bytes(size, '\0');
    const long got = in.valid() ? ReadSome(in.get(), bytes.data(), size) : -1;
    bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return bytes;
  };
  rewrite("a longer first picture");
  EXPECT_EQ(read_some(8), "a longer");
  EXPECT_EQ(read_some(64), "a longer first picture");
  rewrite("shorter");
  EXPECT_EQ(read_some(64), "shorter");
  EXPECT_EQ(lseek(file.fd(), 0, SEEK_END), 7) << "cut to the new length";
}

// Paths into /proc/self/fd that are not a run file's keep what opening them means.
TEST(TemporaryFiles, OtherDescriptorPathsOpenAsBefore) {
  TempFolder tmp;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  UniqueFd pipe_out(ends[0]), pipe_in(ends[1]);
  ASSERT_TRUE(WriteAllBytes(pipe_in.get(), "through a pipe", 14));
  {
    UniqueFd reader(OpenForReading(("/proc/self/fd/" + std::to_string(pipe_out.get())).c_str(), false));
    char bytes[14];
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(ReadSome(reader.get(), bytes, sizeof bytes), 14);
    EXPECT_EQ(std::string(bytes, 14), "through a pipe");
  }
  // A descriptor open for reading only, named to be written: the file is opened anew, for writing.
  const std::string plain = tmp.path() + "/plain";
  WriteFileBytes(plain, "old");
  UniqueFd read_only(open(plain.c_str(), O_RDONLY | O_CLOEXEC));
  {
    UniqueFd writer(OpenForRewriting(("/proc/self/fd/" + std::to_string(read_only.get())).c_str()));
    ASSERT_TRUE(writer.valid()) << std::strerror(errno);
    EXPECT_TRUE(WriteAllBytes(writer.get(), "new", 3));
  }
  EXPECT_EQ(ReadFileBytes(plain), "new");
  EXPECT_EQ(fcntl(read_only.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
  // Names that are no descriptor number fail as a missing file does; a following link is refused
  // when links must not be followed.
  for (const char* path : {"/proc/self/fd/1x", "/proc/self/fd/99999999", "/proc/self/fd/1234567890123"}) {
    SCOPED_TRACE(path);
    errno = 0;
    EXPECT_EQ(OpenForReading(path, false), -1);
    EXPECT_EQ(errno, ENOENT);
  }
  RunFile file(tmp.path().c_str(), ".bmp");
  EXPECT_EQ(OpenForReading(file.path(), true), -1);
  EXPECT_EQ(errno, ELOOP);
}

// The files are reached through their descriptors, not through procfs: a run in a mount namespace
// where /proc is an empty folder answers as any other.
TEST(TemporaryFiles, RunsWithoutProcMounted) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
  if (kSanitized) GTEST_SKIP() << "the sanitizers' own runtime reads /proc";
  TempFolder tmp;
  for (const char* query : {"", "large&timestamp"}) {
    SCOPED_TRACE(query);
    const std::vector<std::string> env = {std::string("QUERY_STRING=") + query, "STILLCAM_DEVICE=test",
                                          "TMPDIR=" + tmp.path(), "TZ=UTC"};
    ProcessResult without_proc =
        RunProcess("/usr/bin/unshare",
                   {"--mount", "/bin/sh", "-c", "/bin/mount -t tmpfs tmpfs /proc || exit 99; exec \"$0\"",
                    STILLCAM_BINARY},
                   env);
    if (without_proc.exit_status == 99 || without_proc.err.rfind("unshare:", 0) == 0)
      GTEST_SKIP() << "no mount namespace with a tmpfs here: " << without_proc.err;
    EXPECT_EQ(without_proc.exit_status, 0) << without_proc.err;
    EXPECT_EQ(without_proc.err, "");
    auto [width, height] = ExpectedSize(query);
    EXPECT_EQ(DescribeResponseMismatch(without_proc.out, width, height), "");
  }
  EXPECT_TRUE(tmp.Entries().empty());
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
