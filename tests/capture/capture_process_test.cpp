// The built program with the capture sources it offers without a camera: the test source at every
// size, a file source, and a request waiting for the device while another one holds it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/bmp_writer.h"
#include "cgi/cgi_response.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

DecodedJpeg Picture(const ProcessResult& result) {
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.substr(0, kResponseHeaderSize), kResponseHeader);
  return DecodeJpeg(result.out.size() > kResponseHeaderSize ? result.out.substr(kResponseHeaderSize) : "");
}

struct SizeCase {
  const char* query;
  int width;
  int height;
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << '"' << c.query << '"'; }

class TestSourcePicture : public testing::TestWithParam<SizeCase> {};

// The bars, left to right, then a grey band over the top quarter: colours, channel order and
// orientation all show.
TEST_P(TestSourcePicture, ComesBackAtTheRequestedSizeRightWayRound) {
  const SizeCase& c = GetParam();
  TempFolder tmp;
  DecodedJpeg picture = Picture(
      RunStillcam({"STILLCAM_DEVICE=test", std::string("QUERY_STRING=") + c.query, "TMPDIR=" + tmp.path()}));
  ASSERT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, c.width);
  EXPECT_EQ(picture.height, c.height);
  const uint32_t bars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
  const int below_band = c.height / 4 + 4;  // clear of the caption, which sits at the bottom
  for (int bar = 0; bar < 8; ++bar) {
    const int x = c.width * (2 * bar + 1) / 16;
    EXPECT_TRUE(ColoursNear(picture.At(x, below_band), bars[bar], 24))
        << "bar " << bar << ": " << std::hex << picture.At(x, below_band);
    EXPECT_TRUE(ColoursNear(picture.At(x, 2), 0x808080, 16)) << "top band at bar " << bar;
  }
  if (std::string(c.query).find("timestamp") == std::string::npos) {
    EXPECT_TRUE(ColoursNear(picture.At(c.width / 16, c.height - 2), 0xFFFFFF, 24));
    EXPECT_TRUE(ColoursNear(picture.At(c.width * 15 / 16, c.height - 2), 0x000000, 24));
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, TestSourcePicture,
                         testing::Values(SizeCase{"", 160, 120}, SizeCase{"medium", 320, 240},
                                         SizeCase{"large", 640, 480}, SizeCase{"medium&timestamp", 320, 240},
                                         SizeCase{"large&boldtimestamp", 640, 480}));

TEST(FileSource, AFrameOfAnotherSizeAndDepthIsTakenAsItIs) {
  TempFolder folder;
  const int width = 96, height = 40;
  std::vector<uint8_t> rows(width * 3 * height);  // top-down, blue-green-red
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) rows[(y * width + x) * 3 + (y < height / 2 ? 2 : 0)] = 0xFF;
  const std::string fixture = folder.path() + "/offline.bmp";
  ASSERT_TRUE(WriteBmpFile(fixture.c_str(), BmpPixels{width, height, 24, rows.data(), width * 3u, true}));

  TempFolder tmp;
  DecodedJpeg picture =
      Picture(RunStillcam({"STILLCAM_DEVICE=file:" + fixture, "QUERY_STRING=large", "TMPDIR=" + tmp.path()}));
  ASSERT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, width);
  EXPECT_EQ(picture.height, height);
  EXPECT_TRUE(ColoursNear(picture.At(width / 2, 2), 0xFF0000, 24));
  EXPECT_TRUE(ColoursNear(picture.At(width / 2, height - 3), 0x0000FF, 24));
  EXPECT_TRUE(tmp.Entries().empty());
}

// stillcam started in the background with the given environment; its stderr goes to a file.
class Background {
 public:
  Background(const std::vector<std::string>& env, const std::string& err_path) {
    pid_ = fork();
    if (pid_ == 0) {
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      std::vector<char*> envp;
      for (const std::string& variable : env) envp.push_back(const_cast<char*>(variable.c_str()));
      envp.push_back(nullptr);
      char* argv[] = {const_cast<char*>(STILLCAM_BINARY), nullptr};
      execve(STILLCAM_BINARY, argv, envp.data());
      _exit(127);
    }
  }
  ~Background() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The wait status once it has ended, or -1 while it still runs after waiting up to ms.
  int EndedWithin(int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      usleep(10000);
    }
    return -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Waits until process pid has path open: a request that opened the device waits there for its lock.
// False when the process ended first.
bool WaitUntilHolding(pid_t pid, const std::string& path) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (;;) {
    std::ifstream stat_file(proc + "/stat");
    std::string stat;
    std::getline(stat_file, stat);
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z') return false;
    std::error_code unreadable;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", unreadable)) {
      std::error_code gone;
      if (std::filesystem::read_symlink(entry.path(), gone) == path) return true;
    }
    std::this_thread::yield();
  }
}

class DeviceInUse : public testing::Test {
 protected:
  DeviceInUse() : device_(folder_.path() + "/video0"), err_(folder_.path() + "/err") {
    WriteFileBytes(device_, "");
    lock_ = open(device_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(lock_, LOCK_EX), 0);
  }
  ~DeviceInUse() override { close(lock_); }

  std::vector<std::string> Env() {
    return {"STILLCAM_DEVICE=" + device_, "STILLCAM_VERBOSE=1", "QUERY_STRING=large",
            "TMPDIR=" + tmp_.path()};
  }

  TempFolder folder_;
  TempFolder tmp_;
  std::string device_;
  std::string err_;
  int lock_ = -1;
};

TEST_F(DeviceInUse, ARequestWaitsItsTurnThenGoesOn) {
  Background request(Env(), err_);
  ASSERT_TRUE(WaitUntilHolding(request.pid(), device_)) << "ended without waiting for the device";
  EXPECT_EQ(request.EndedWithin(0), -1) << "went on while the device was in use";
  EXPECT_TRUE(tmp_.Entries().empty());
  close(lock_);  // the request in progress is done
  lock_ = -1;
  int status = request.EndedWithin(30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Its turn came; what it found there is no camera, and it says so.
  EXPECT_NE(ReadFileBytes(err_).find("not a V4L2 device"), std::string::npos) << ReadFileBytes(err_);
  EXPECT_TRUE(tmp_.Entries().empty());
}

TEST_F(DeviceInUse, TerminationWhileWaitingEndsTheRequestAtOnce) {
  Background request(Env(), err_);
  ASSERT_TRUE(WaitUntilHolding(request.pid(), device_)) << "ended without waiting for the device";
  kill(request.pid(), SIGTERM);
  int status = request.EndedWithin(30000);
  ASSERT_NE(status, -1) << "still running after SIGTERM";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(tmp_.Entries().empty());
}

}  // namespace
