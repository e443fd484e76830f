// The share folder: who may use it, what a waiting request may be answered with, and what is kept.
#include "cgi/picture_share.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/process_runner.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFrameTime = 5'000'000'000;

// A picture file as the run leaves it, open for reading.
class PictureFile {
 public:
  PictureFile(const TempFolder& folder, const std::string& bytes) : path_(folder.path() + "/picture.jpg") {
    WriteFileBytes(path_, bytes);
    fd_ = UniqueFd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  }
  int fd() const { return fd_.get(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

// The rest of a descriptor's file from where it stands.
std::string Rest(const UniqueFd& fd) {
  std::string bytes;
  char block[4096];
  for (long count; (count = read(fd.get(), block, sizeof block)) > 0;)
    bytes.append(block, static_cast<size_t>(count));
  return bytes;
}

std::string Key(int width, bool caption = false) {
  SnapshotOptions options;
  options.frame_width = width;
  options.frame_height = width * 3 / 4;
  options.caption = caption;
  return ShareKey("/dev/video0", options, "", "");
}

TEST(PictureShare, AWaitingRequestGetsTheWholePictureOfAFrameTakenAfterItStarted) {
  TempFolder work;
  const std::string folder = work.path() + "/share";
  PictureShare share(folder, false);
  const std::string jpeg =
      std::string("\xFF\xD8 picture \n\r\x1A\0 bytes", 20) + std::string(40000, 'x') + "\xFF\xD9";
  PictureFile picture(work, jpeg);
  share.Publish(Key(640), kFrameTime, picture.fd());

  UniqueFd found = share.Find(Key(640), kFrameTime - 1);
  ASSERT_TRUE(found.valid()) << share.problem();
  EXPECT_TRUE(Rest(found) == jpeg);
  // Made for this user alone, holding the one picture.
  struct stat facts {};
  ASSERT_EQ(stat(folder.c_str(), &facts), 0);
  EXPECT_EQ(facts.st_mode & 07777, 0700u);
  EXPECT_EQ(facts.st_uid, geteuid());
  EXPECT_EQ(fs::directory_iterator(folder)->path().filename().string().rfind("picture-", 0), 0u);
}

TEST(PictureShare, OnlyTheSameChoicesAndALaterFrameAnswer) {
  TempFolder work;
  PictureShare share(work.path() + "/share", false);
  PictureFile picture(work, "\xFF\xD8 a picture \xFF\xD9");
  share.Publish(Key(640), kFrameTime, picture.fd());

  SnapshotOptions bold;
  bold.frame_width = 640;
  bold.frame_height = 480;
  bold.caption = bold.bold = true;
  const struct {
    const char* name;
    std::string key;
    int64_t started;
    bool answered;
  } cases[] = {
      {"same choices, frame after the start", Key(640), kFrameTime - 1, true},
      {"frame taken as the request started", Key(640), kFrameTime, false},
      {"frame taken before the request started", Key(640), kFrameTime + 1, false},
      {"another size", Key(320), 0, false},
      {"with a caption", Key(640, true), 0, false},
      {"in bold", ShareKey("/dev/video0", bold, "", ""), 0, false},
      {"another camera", ShareKey("/dev/video1", SnapshotOptions{640, 480, false, false}, "", ""), 0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(share.Find(c.key, c.started).valid(), c.answered) << c.name;
}

TEST(PictureShare, LookingMakesNothing) {
  TempFolder work;
  PictureShare share(work.path() + "/share", false);
  EXPECT_FALSE(share.Find(Key(640), 0).valid());
  EXPECT_TRUE(work.Entries().empty());
  EXPECT_EQ(share.problem(), "");
  // Made by another run meanwhile: found on the next look.
  PictureShare other(work.path() + "/share", false);
  PictureFile picture(work, "picture");
  other.Publish(Key(640), kFrameTime, picture.fd());
  EXPECT_TRUE(share.Find(Key(640), 0).valid());
}

TEST(PictureShare, KeysTellFontsApartOnlyWhenACaptionIsDrawn) {
  SnapshotOptions plain{640, 480, false, false};
  SnapshotOptions caption{640, 480, true, false};
  EXPECT_EQ(ShareKey("/dev/video0", plain, "a.ttf", ""), ShareKey("/dev/video0", plain, "b.ttf", ""));
  EXPECT_NE(ShareKey("/dev/video0", caption, "a.ttf", ""), ShareKey("/dev/video0", caption, "b.ttf", ""));
  EXPECT_NE(ShareKey("/dev/video0", caption, "", "a.ttf"), ShareKey("/dev/video0", caption, "a.ttf", ""));
}

TEST(PictureShare, ANewPictureReplacesTheOldOneAndNothingElseIsLeft) {
  TempFolder work;
  const std::string folder = work.path() + "/share";
  PictureShare share(folder, false);
  PictureFile first(work, "first picture");
  share.Publish(Key(640), kFrameTime, first.fd());
  PictureFile second(work, "second picture");
  share.Publish(Key(640), kFrameTime + 40'000'000, second.fd());
  PictureFile other_size(work, "medium picture");
  share.Publish(Key(320), kFrameTime, other_size.fd());

  UniqueFd found = share.Find(Key(640), kFrameTime);
  ASSERT_TRUE(found.valid());
  EXPECT_EQ(Rest(found), "second picture");
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder)) files += entry.is_regular_file();
  EXPECT_EQ(files, 2u) << "one file per size";
}

TEST(PictureShare, ACutOrForeignFileAnswersNothing) {
  TempFolder work;
  const std::string folder = work.path() + "/share";
  PictureShare share(folder, false);
  PictureFile picture(work, std::string(5000, 'p'));
  share.Publish(Key(640), kFrameTime, picture.fd());
  const fs::path kept = fs::directory_iterator(folder)->path();
  const std::string whole = ReadFileBytes(kept);

  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"cut short", whole.substr(0, whole.size() - 1)},
      {"one byte too many", whole + "x"},
      {"only the head", whole.substr(0, 64)},
      {"empty", ""},
      {"something else", std::string(whole.size(), 'z')},
  };
  for (const auto& c : cases) {
    WriteFileBytes(kept, c.bytes);
    EXPECT_FALSE(share.Find(Key(640), 0).valid()) << c.name;
  }
}

struct FolderCase {
  const char* name;
  std::function<void(const std::string& folder, const TempFolder& work)> make;
  const char* problem;
};

TEST(PictureShare, AFolderOthersCouldReachIsNotUsed) {
  const FolderCase cases[] = {
      {"a symlink to a good folder",
       [](const std::string& folder, const TempFolder& work) {
         fs::create_directory(work.path() + "/elsewhere");
         fs::permissions(work.path() + "/elsewhere", fs::perms::owner_all, fs::perm_options::replace);
         fs::create_directory_symlink(work.path() + "/elsewhere", folder);
       },
       "is a symlink"},
      {"a file", [](const std::string& folder, const TempFolder&) { WriteFileBytes(folder, "x"); },
       "is not a folder"},
      {"open to the group and others",
       [](const std::string& folder, const TempFolder&) {
         fs::create_directory(folder);
         fs::permissions(folder,
                         fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec,
                         fs::perm_options::replace);
       },
       "mode 0755 lets others in"},
      {"writable by the group",
       [](const std::string& folder, const TempFolder&) {
         fs::create_directory(folder);
         fs::permissions(folder, fs::perms::owner_all | fs::perms::group_write, fs::perm_options::replace);
       },
       "mode 0720 lets others in"},
  };
  for (const FolderCase& c : cases) {
    TempFolder work;
    const std::string folder = work.path() + "/share";
    c.make(folder, work);
    PictureShare share(folder, false);
    PictureFile picture(work, "picture");
    share.Publish(Key(640), kFrameTime, picture.fd());
    EXPECT_FALSE(share.Find(Key(640), 0).valid()) << c.name;
    EXPECT_NE(share.problem().find(c.problem), std::string::npos) << c.name << ": " << share.problem();
    const std::string elsewhere = work.path() + "/elsewhere";
    if (fs::exists(elsewhere)) {
      EXPECT_TRUE(fs::is_empty(elsewhere)) << c.name << ": written through the symlink";
    }
  }
}

TEST(PictureShare, AFolderOfAnotherUserIsNotUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  TempFolder work;
  const std::string folder = work.path() + "/share";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  PictureShare share(folder, false);
  PictureFile picture(work, "picture");
  share.Publish(Key(640), kFrameTime, picture.fd());
  EXPECT_FALSE(share.Find(Key(640), 0).valid());
  EXPECT_NE(share.problem().find("belongs to user 65534"), std::string::npos) << share.problem();
  EXPECT_TRUE(fs::is_empty(folder));
}

}  // namespace
