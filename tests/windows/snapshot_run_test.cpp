// Every branch of the run on Windows, with stages that record what they are asked and fail at a
// chosen step, over the Windows run files.

#include "cgi/snapshot_run.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/windows/win_process.h"

namespace {

enum class Step { kNone, kOpen, kTake, kLoad, kCaption, kEncode, kResponse };

class ScriptedStages : public SnapshotStages {
 public:
  explicit ScriptedStages(Step failing) : failing_(failing) {}

  bool OpenCapture(const SnapshotOptions&) override {
    events.push_back("open");
    return failing_ != Step::kOpen;
  }
  bool TakeFrame(const SnapshotOptions&, const char* path) override {
    events.push_back("take");
    frame_path = path;
    WriteWholeFile(path, "BM frame");  // as the driver does: by name, replacing the file
    return failing_ != Step::kTake;
  }
  void CloseCapture() noexcept override { events.push_back("close"); }
  FrameBitmap LoadFrame(const char* path) override {
    events.push_back("load");
    if (ReadWholeFile(path) != "BM frame") throw std::runtime_error("not the frame written");
    if (failing_ == Step::kLoad) throw std::runtime_error("not a BMP file");
    return FrameBitmap{};
  }
  void DrawCaption(FrameBitmap&, const SnapshotOptions&) override {
    events.push_back("caption");
    if (failing_ == Step::kCaption) throw std::runtime_error("no font");
  }
  void EncodePicture(FrameBitmap&&, const char* path) override {
    events.push_back("encode");
    picture_path = path;
    WriteWholeFile(path, "jpeg");
    if (failing_ == Step::kEncode) throw std::runtime_error("JPEG error #42");
  }
  void WriteResponse(const char* path) override {
    events.push_back("response");
    if (ReadWholeFile(path) != "jpeg") throw std::runtime_error("not the picture written");
    if (failing_ == Step::kResponse) throw std::runtime_error("Broken pipe");
  }

  std::vector<std::string> events;
  std::string frame_path;
  std::string picture_path;

 private:
  Step failing_;
};

struct BranchCase {
  const char* name;
  Step failing;
  bool caption;
  int exit_status;
  std::vector<std::string> events;
  const char* message;
};

void PrintTo(const BranchCase& c, std::ostream* os) { *os << c.name; }

class RunBranches : public testing::TestWithParam<BranchCase> {};

TEST_P(RunBranches, FollowTheSequenceAndLeaveNoFile) {
  const BranchCase& c = GetParam();
  ScratchFolder tmp;
  ScriptedStages stages(c.failing);
  SnapshotOptions options;
  options.caption = c.caption;

  testing::internal::CaptureStderr();
  int status = RunSnapshot(options, stages, tmp.path().c_str());
  std::string errors = testing::internal::GetCapturedStderr();

  EXPECT_EQ(status, c.exit_status);
  EXPECT_EQ(stages.events, c.events);
  EXPECT_EQ(errors, c.message);
  EXPECT_EQ(tmp.Listing(), "") << "files left behind";
  if (!stages.frame_path.empty()) {
    EXPECT_EQ(stages.frame_path.rfind(tmp.path() + "\\", 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RunBranches,
    testing::Values(
        BranchCase{
            "Complete", Step::kNone, false, 0, {"open", "take", "load", "encode", "response", "close"}, ""},
        BranchCase{"CompleteWithCaption",
                   Step::kNone,
                   true,
                   0,
                   {"open", "take", "load", "caption", "encode", "response", "close"},
                   ""},
        BranchCase{"ConnectFails", Step::kOpen, true, 0, {"open"}, ""},
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
                   {"open", "take", "load", "encode", "response", "close"},
                   "stillcam: response: Broken pipe\n"}),
    [](const testing::TestParamInfo<BranchCase>& param) { return param.param.name; });

}  // namespace
