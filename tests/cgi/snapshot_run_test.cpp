#include "cgi/snapshot_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace {

// kShared: the connection gives way to another run's picture; kSharedResponse: and sending it fails.
enum class Step { kNone, kOpen, kTake, kLoad, kCaption, kEncode, kResponse, kShared, kSharedResponse };

// How the failing step fails: its usual way (false from the capture, std::runtime_error later), out of
// memory, or with something that is no std::exception at all.
enum class Fault { kUsual, kOutOfMemory, kForeign };

// Stand-in stages that record what the run asked of them and fail at one chosen step.
class ScriptedStages : public SnapshotStages {
 public:
  explicit ScriptedStages(Step failing, Fault fault = Fault::kUsual) : failing_(failing), fault_(fault) {}

  bool OpenCapture(const SnapshotOptions&) override {
    events.push_back("open");
    return Passes(Step::kOpen) && failing_ != Step::kShared && failing_ != Step::kSharedResponse;
  }
  bool TakeFrame(const SnapshotOptions&, const char* path) override {
    events.push_back("take");
    frame_path = path;
    frame = Describe(path);
    WriteFileBytes(path, "BM frame");
    return Passes(Step::kTake);
  }
  void CloseCapture() noexcept override { events.push_back("close"); }
  FrameBitmap LoadFrame(const char*) override {
    events.push_back("load");
    Passes(Step::kLoad, "not a BMP file");
    return FrameBitmap{};
  }
  void DrawCaption(FrameBitmap&, const SnapshotOptions&) override {
    events.push_back("caption");
    Passes(Step::kCaption, "no font");
  }
  void EncodePicture(FrameBitmap&&, const char* path) override {
    events.push_back("encode");
    picture_path = path;
    picture = Describe(path);
    WriteFileBytes(path, "jpeg");
    Passes(Step::kEncode, "JPEG error #42");
  }
  void WriteResponse(const char*) override {
    events.push_back("response");
    Passes(Step::kResponse, "Broken pipe");
  }
  void SharePicture(const char* path) override {
    events.push_back("share");
    EXPECT_EQ(path, picture_path);
  }
  bool WriteSharedResponse() override {
    events.push_back("shared response");
    if (failing_ == Step::kSharedResponse) throw std::runtime_error("Broken pipe");
    return failing_ == Step::kShared;
  }

  // What a run file was when a stage got it.
  struct FileSeen {
    unsigned mode = 0;
    unsigned long links = 1;
    unsigned long inode = 0;
  };
  static FileSeen Describe(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) return {};
    return {info.st_mode & 07777u, static_cast<unsigned long>(info.st_nlink),
            static_cast<unsigned long>(info.st_ino)};
  }

  std::vector<std::string> events;
  std::string frame_path;
  std::string picture_path;
  FileSeen frame;
  FileSeen picture;

 private:
  // False or a throw at the failing step; the usual fault of a later stage is a runtime_error.
  bool Passes(Step step, const char* usual_fault = nullptr) const {
    if (step != failing_) return true;
    if (fault_ == Fault::kOutOfMemory) throw std::bad_alloc();
    if (fault_ == Fault::kForeign) throw 42;
    if (usual_fault != nullptr) throw std::runtime_error(usual_fault);
    return false;
  }

  Step failing_;
  Fault fault_;
};

struct BranchCase {
  const char* name;
  Step failing;
  bool caption;
  int exit_status;
  std::vector<std::string> events;
  const char* message;  // expected on stderr, empty for none
  Fault fault = Fault::kUsual;
};

void PrintTo(const BranchCase& c, std::ostream* os) { *os << c.name; }

class RunBranches : public testing::TestWithParam<BranchCase> {};

TEST_P(RunBranches, FollowTheSequence) {
  const BranchCase& c = GetParam();
  TempFolder tmp;
  ScriptedStages stages(c.failing, c.fault);
  SnapshotOptions options;
  options.caption = c.caption;

  testing::internal::CaptureStderr();
  int status = RunSnapshot(options, stages, tmp.path().c_str());
  std::string errors = testing::internal::GetCapturedStderr();

  EXPECT_EQ(status, c.exit_status);
  EXPECT_EQ(stages.events, c.events);
  EXPECT_EQ(errors, c.message);
  EXPECT_TRUE(tmp.Entries().empty()) << "files left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RunBranches,
    testing::Values(
        BranchCase{"Complete",
                   Step::kNone,
                   false,
                   0,
                   {"open", "take", "load", "encode", "share", "response", "close"},
                   ""},
        BranchCase{"CompleteWithCaption",
                   Step::kNone,
                   true,
                   0,
                   {"open", "take", "load", "caption", "encode", "share", "response", "close"},
                   ""},
        BranchCase{"ConnectFails", Step::kOpen, true, 0, {"open", "shared response"}, ""},
        BranchCase{"AnsweredWithASharedPicture", Step::kShared, true, 0, {"open", "shared response"}, ""},
        BranchCase{"SharedResponseFault",
                   Step::kSharedResponse,
                   false,
                   1,
                   {"open", "shared response"},
                   "stillcam: response: Broken pipe\n"},
        BranchCase{"GrabOrSaveFails", Step::kTake, true, 0, {"open", "take", "close"}, ""},
        BranchCase{"LoadFault",
                   Step::kLoad,
                   true,
                   1,
                   {"open", "take", "load", "close"},
                   "stillcam: load frame: not a BMP file\n"},
        BranchCase{"CaptionFault",
                   Step::kCaption,
                   true,
                   1,
                   {"open", "take", "load", "caption", "close"},
                   "stillcam: caption: no font\n"},
        BranchCase{"EncodeFault",
                   Step::kEncode,
                   false,
                   1,
                   {"open", "take", "load", "encode", "close"},
                   "stillcam: encode picture: JPEG error #42\n"},
        BranchCase{"ResponseFault",
                   Step::kResponse,
                   false,
                   1,
                   {"open", "take", "load", "encode", "share", "response", "close"},
                   "stillcam: response: Broken pipe\n"},
        // Memory running out is a fault wherever it happens, the capture included, and so is an
        // exception of no standard kind: reported, never silent, never an abort.
        BranchCase{"ConnectOutOfMemory",
                   Step::kOpen,
                   false,
                   1,
                   {"open"},
                   "stillcam: capture: std::bad_alloc\n",
                   Fault::kOutOfMemory},
        BranchCase{"GrabOutOfMemory",
                   Step::kTake,
                   false,
                   1,
                   {"open", "take", "close"},
                   "stillcam: capture: std::bad_alloc\n",
                   Fault::kOutOfMemory},
        BranchCase{"CaptionOutOfMemory",
                   Step::kCaption,
                   true,
                   1,
                   {"open", "take", "load", "caption", "close"},
                   "stillcam: caption: std::bad_alloc\n",
                   Fault::kOutOfMemory},
        BranchCase{"ForeignThrowInEncoder",
                   Step::kEncode,
                   false,
                   1,
                   {"open", "take", "load", "encode", "close"},
                   "stillcam: encode picture: unknown fault\n",
                   Fault::kForeign}),
    [](const testing::TestParamInfo<BranchCase>& param) { return param.param.name; });

TEST(RunFiles, AreTwoFilesOfTheRunsOwnWithoutAName) {
  TempFolder tmp;
  ScriptedStages stages(Step::kNone);
  EXPECT_EQ(RunSnapshot(SnapshotOptions{}, stages, tmp.path().c_str()), kRunCompleted);
  for (const ScriptedStages::FileSeen& file : {stages.frame, stages.picture}) {
    EXPECT_EQ(file.mode, 0600u);
    EXPECT_EQ(file.links, 0u) << "a run file had a name";
  }
  EXPECT_NE(stages.frame.inode, stages.picture.inode);
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(RunFiles, MissingTemporaryFolderIsAFaultAfterConnecting) {
  ScriptedStages stages(Step::kNone);
  testing::internal::CaptureStderr();
  int status = RunSnapshot(SnapshotOptions{}, stages, "/nonexistent/stillcam-tmp");
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(stages.events, (std::vector<std::string>{"open", "close"}));
  EXPECT_EQ(errors, "stillcam: temporary files: /nonexistent/stillcam-tmp: No such file or directory\n");
}

}  // namespace
