// The Windows side of the platform layer and of the run's files, on Wine's implementation of the
// Windows API.
#include "base/platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "base/rewritten_file.h"
#include "base/unique_fd.h"
#include "cgi/request_options.h"
#include "cgi/run_files.h"
#include "imaging/timestamp_caption.h"
#include "tests/windows/win_process.h"

namespace {

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Sets a variable for one test, through the Windows API as a web server's environment would, and
// restores it afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name), old_(EnvironmentValue(name)) {
    SetEnvironmentVariableA(name, value);
  }
  ~ScopedVariable() { SetEnvironmentVariableA(name_, old_ ? old_->c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(QueryString, IsReadWithGetEnvironmentVariableAndAnAbsentOneIsEmpty) {
  struct Case {
    const char* value;  // nullptr: absent
    int width;
    bool caption;
  };
  const std::string long_tail = std::string(60, 'x') + "large";
  const std::string long_head = "large&timestamp" + std::string(4000, 'x');
  const Case cases[] = {
      {nullptr, 160, false},          {"", 160, false},
      {"Large&TimeStamp", 640, true}, {long_tail.c_str(), 160, false},  // only the first 49 characters count
      {long_head.c_str(), 640, true},  // longer than any fixed buffer: still its first 49
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? std::string(c.value).substr(0, 40) : "(absent)");
    ScopedVariable query("QUERY_STRING", c.value);
    SnapshotOptions options = ReadOptions();
    EXPECT_EQ(options.frame_width, c.width);
    EXPECT_EQ(options.caption, c.caption);
  }
}

TEST(Environment, ValueTellsAbsentFromEmptyAndKeepsLongValuesWhole) {
  {
    ScopedVariable absent("STILLCAM_TEST_VARIABLE", nullptr);
    EXPECT_FALSE(EnvironmentValue("STILLCAM_TEST_VARIABLE").has_value());
  }
  {
    ScopedVariable empty("STILLCAM_TEST_VARIABLE", "");
    EXPECT_EQ(EnvironmentValue("STILLCAM_TEST_VARIABLE"), std::optional<std::string>(""));
  }
  const std::string long_value(5000, 'v');
  ScopedVariable set("STILLCAM_TEST_VARIABLE", long_value.c_str());
  EXPECT_EQ(EnvironmentValue("STILLCAM_TEST_VARIABLE"), long_value);
}

TEST(TemporaryFolder, IsTheSystemsWithoutTrailingSeparator) {
  ScratchFolder folder;
  ScopedVariable tmp("TMP", folder.path().c_str());
  EXPECT_EQ(SystemTemporaryFolder(), folder.path());
}

TEST(LocalTime, AgreesWithTheWindowsClockAndFormatsTheCaption) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    SYSTEMTIME windows = {};
    GetLocalTime(&windows);
    std::tm ours = LocalTime(std::time(nullptr));
    if (ours.tm_min != windows.wMinute) continue;  // a minute turned in between
    EXPECT_EQ(ours.tm_year + 1900, windows.wYear);
    EXPECT_EQ(ours.tm_mon + 1, windows.wMonth);
    EXPECT_EQ(ours.tm_mday, windows.wDay);
    EXPECT_EQ(ours.tm_hour, windows.wHour);
    EXPECT_EQ(ours.tm_wday, windows.wDayOfWeek);
    return;
  }
  FAIL() << "the minute kept turning";
}

TEST(LocalTime, CaptionTextOfAKnownMoment) {
  std::tm moment{};
  moment.tm_year = 2024 - 1900;
  moment.tm_mon = 2;
  moment.tm_mday = 3;
  moment.tm_hour = 9;
  moment.tm_min = 7;
  EXPECT_EQ(FormatCaptionText(moment), " 2024-Mar-03  09:07 ");
}

TEST(RunFiles, UniqueNamesInTheFolderGoneWhenTheRunEnds) {
  ScratchFolder folder;
  std::string frame, picture, other_frame;
  {
    RunFiles files(folder.path().c_str());
    RunFiles others(folder.path().c_str());
    frame = files.frame_path();
    picture = files.picture_path();
    other_frame = others.frame_path();
    EXPECT_NE(frame, other_frame);
    EXPECT_NE(std::string(files.picture_path()), std::string(others.picture_path()));
    EXPECT_EQ(frame.rfind(folder.path() + "\\", 0), 0u);
    EXPECT_TRUE(Exists(frame));
    EXPECT_TRUE(Exists(picture));
    // The picture is written and read by name while the run holds it delete-on-close.
    RewrittenFile writer(picture.c_str());
    ASSERT_GE(writer.fd(), 0);
    ASSERT_TRUE(WriteAllBytes(writer.fd(), "\xFF\xD8jpeg\xFF\xD9", 8));
    ASSERT_TRUE(writer.Finish());
    EXPECT_EQ(ReadWholeFile(picture), std::string("\xFF\xD8jpeg\xFF\xD9", 8));
  }
  EXPECT_FALSE(Exists(frame));
  EXPECT_FALSE(Exists(picture));
  EXPECT_EQ(folder.Listing(), "");
}

TEST(RunFiles, MissingFolderIsAFault) {
  ScratchFolder folder;
  EXPECT_THROW(RunFiles((folder.path() + "\\missing").c_str()), std::system_error);
  EXPECT_EQ(folder.Listing(), "");
}

// A process that is killed (a web server's timeout does that) cannot leave the picture behind.
TEST(RunFiles, PictureGoesEvenWhenTheProcessIsKilled) {
  ScratchFolder folder;
  ProcessResult holder = RunProgram(WindowsPath(RUN_FILES_HOLDER), {{"HOLDER_FOLDER", folder.path()}}, 3000);
  ASSERT_TRUE(holder.started);
  EXPECT_FALSE(holder.finished) << "the holder waits until it is ended";
  // The holder printed its two paths, one a line, before it was ended by force.
  std::string output = holder.output;
  std::erase(output, '\r');
  const size_t newline = output.find('\n');
  ASSERT_NE(newline, std::string::npos) << output;
  const std::string frame = output.substr(0, newline);
  const std::string picture = output.substr(newline + 1, output.find('\n', newline + 1) - newline - 1);
  EXPECT_EQ(picture.substr(picture.size() - 4), ".jpg");
  EXPECT_FALSE(Exists(picture));
  // The frame file is the capture driver's to write and has a plain name; it stays.
  EXPECT_TRUE(Exists(frame));
}

TEST(Files, ViewsAtAnyOffsetAndCopyOnWrite) {
  ScratchFolder folder;
  const std::string path = folder.path() + "\\data.bin";
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  WriteWholeFile(path, bytes);
  UniqueFd fd(OpenForReading(path.c_str(), true));
  ASSERT_TRUE(fd.valid());
  FileFacts facts;
  ASSERT_TRUE(ReadFileFacts(fd.get(), facts));
  EXPECT_TRUE(facts.regular);
  EXPECT_EQ(facts.size, bytes.size());

  size_t lead = 0;
  const uint64_t offset = 70001;  // past the first 64 KiB granule, not on a boundary
  MappedView view = MapFile(fd.get(), offset, 1000, true, lead);
  ASSERT_NE(view.base, nullptr);
  auto* mapped = static_cast<char*>(view.base) + lead;
  EXPECT_EQ(std::string(mapped, 1000), bytes.substr(offset, 1000));
  std::memset(mapped, 'x', 1000);  // the process's own copy
  UnmapView(view);
  EXPECT_EQ(ReadWholeFile(path), bytes);

  char block[16];
  EXPECT_EQ(ReadSomeAt(fd.get(), block, sizeof block, 5), 16);
  EXPECT_EQ(std::string(block, 16), bytes.substr(5, 16));
  EXPECT_EQ(ReadSomeAt(fd.get(), block, sizeof block, bytes.size()), 0) << "at the end";
}

TEST(Files, RewritingCutsTheOldTail) {
  ScratchFolder folder;
  const std::string path = folder.path() + "\\picture.jpg";
  WriteWholeFile(path, std::string(5000, 'o'));
  RewrittenFile file(path.c_str());
  ASSERT_GE(file.fd(), 0);
  ASSERT_TRUE(WriteAllBytes(file.fd(), "new", 3));
  ASSERT_TRUE(file.Finish());
  EXPECT_EQ(ReadWholeFile(path), "new");
}

}  // namespace
