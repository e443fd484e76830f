#include "tests/capture/guest_run.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cgi/cgi_response.h"
#include "tests/support/process_runner.h"

extern char** environ;

namespace {

constexpr int kSkipped = 77;

class GuestRun : public testing::Environment {
 public:
  void SetUp() override {
    // STILLCAM_GUEST_RESULTS names a folder to keep what the guest left, for a look after the run.
    if (const char* keep = std::getenv("STILLCAM_GUEST_RESULTS")) {
      results_path = keep;
    } else {
      temporary = std::make_unique<TempFolder>();
      results_path = temporary->path();
    }
    std::vector<std::string> env;
    for (char** variable = environ; *variable != nullptr; ++variable) env.emplace_back(*variable);
    ProcessResult run = RunProcess("/bin/bash",
                                   {STILLCAM_SOURCE_DIR "/tests/capture/vivid/run-guest.sh", STILLCAM_BINARY,
                                    LOOPBACK_PRODUCER, GUEST_CACHE_DIR, results_path},
                                   env);
    status = run.exit_status;
    log = run.out + run.err;
    if (status == 0) {
      auto ms = [this](const char* name) { return ReadFileBytes(results_path + "/" + name + ".ms"); };
      std::printf(
          "guest request durations under TCG: vivid large %s ms, large without warm-up %s ms; "
          "loopback YUYV large %s ms, MJPEG large %s ms\n",
          ms("large").c_str(), ms("large_no_warm_up").c_str(), ms("loopback_yuyv_large_caption").c_str(),
          ms("loopback_mjpeg").c_str());
    }
  }
  void TearDown() override { temporary.reset(); }

  std::unique_ptr<TempFolder> temporary;
  std::string results_path;
  int status = -1;
  std::string log;
};

GuestRun* const guest =
    static_cast<GuestRun*>(testing::AddGlobalTestEnvironment(new GuestRun));  // gtest owns it

}  // namespace

void GuestTest::SetUp() {
  if (guest->status == kSkipped) GTEST_SKIP() << "GUEST SKIPPED: " << guest->log;
  ASSERT_EQ(guest->status, 0) << "the guest failed:\n" << guest->log;
}

std::string GuestTest::Result(const std::string& name) {
  return ReadFileBytes(guest->results_path + "/" + name);
}

DecodedJpeg GuestTest::Picture(const std::string& name, const std::string& err) {
  EXPECT_EQ(Result(name + ".status"), "0\n") << name;
  EXPECT_EQ(Result(name + ".err"), err) << name;
  EXPECT_EQ(Result(name + ".left"), "") << name << ": files left in TMPDIR";
  std::string out = Result(name + ".out");
  EXPECT_EQ(out.substr(0, kResponseHeaderSize), kResponseHeader) << name;
  EXPECT_TRUE(out.ends_with("\xFF\xD9")) << name << ": the JPEG is not complete";
  return DecodeJpeg(out.substr(std::min(out.size(), kResponseHeaderSize)));
}

std::string GuestTest::QuietFailure(const std::string& name) {
  EXPECT_EQ(Result(name + ".status"), "0\n") << name;
  EXPECT_EQ(Result(name + ".out"), "") << name;
  EXPECT_EQ(Result(name + ".left"), "") << name << ": files left in TMPDIR";
  return Result(name + ".err");
}
