// scripts/serve as a developer runs it: in the background on a free port, then stopped with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/e2e/web_server_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

// Output of the script, read again and again while it runs.
std::string OutputSoFar(const std::string& path) {
  try {
    return ReadFileBytes(path);
  } catch (const std::exception&) {
    return "";
  }
}

// -1 when pid has not ended within the timeout, its exit status otherwise.
int WaitForExit(pid_t pid, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// Starts scripts/serve on port with the given build folder (relative to the source tree), its output
// going to output_path; returns its pid.
pid_t StartServe(int port, const std::string& build_dir, const std::string& output_path,
                 const std::string& home) {
  const std::string script = STILLCAM_SOURCE_DIR "/scripts/serve";
  std::vector<std::string> argv_strings = {"/bin/bash", script, std::to_string(port)};
  std::vector<std::string> env_strings = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                          "HOME=" + home, "STILLCAM_BUILD_DIR=" + build_dir};
  std::vector<char*> argv, envp;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  for (std::string& s : env_strings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(), O_WRONLY | O_CREAT, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// Pids of the live processes that work in folder or below it, or name it on their command line.
std::vector<pid_t> ProcessesIn(const std::string& folder) {
  std::vector<pid_t> pids = ProcessesMentioning(folder);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    const std::string cwd = std::filesystem::read_symlink(entry.path() / "cwd", error).string();
    if (!error && cwd.rfind(folder, 0) == 0) pids.push_back(std::stoi(name));
  }
  return pids;
}

// Whether a compiler is at work in folder on one of the program's own sources (not on one of the
// configuration's probes).
bool CompilerRunsIn(const std::string& folder) {
  for (pid_t pid : ProcessesIn(folder)) {
    std::string command_line;
    try {
      command_line = ReadFileBytes("/proc/" + std::to_string(pid) + "/cmdline");
    } catch (const std::exception&) {
      continue;
    }
    if (command_line.find("cc1plus") != std::string::npos &&
        command_line.find("CMakeFiles/stillcam_") != std::string::npos)
      return true;
  }
  return false;
}

TEST(ServeScript, ServesThePageAndSnapshotsAndStopsCleanlyOnSigterm) {
  TempFolder folder;
  const std::string output_path = folder.path() + "/serve.out";
  // Another process may take the port between the probe and the server's bind: try a few, as the
  // web server fixture does.
  int port = 0;
  pid_t pid = -1;
  std::string said;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = FreeLoopbackPort();
    // The script builds into our own build folder, which is already up to date.
    pid = StartServe(port, STILLCAM_BUILD_DIR, output_path, folder.path());
    ASSERT_GT(pid, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    bool ended = false;
    while (OutputSoFar(output_path).find("serving " + url) == std::string::npos && Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    said = OutputSoFar(output_path);
    if (!ended) break;
    ASSERT_NE(said.find("Address already in use"), std::string::npos) << "scripts/serve ended early:\n"
                                                                      << said;
  }
  ASSERT_NE(said.find("serving http://127.0.0.1:" + std::to_string(port) + "/"), std::string::npos) << said;

  HttpResponse page = HttpGet(port, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("/cgi-bin/stillcam"), std::string::npos);

  HttpResponse snapshot = HttpGet(port, "/cgi-bin/stillcam?large&timestamp&t=1");
  EXPECT_EQ(snapshot.status, 200);
  EXPECT_EQ(snapshot.Header("content-type"), "image/jpg");
  DecodedJpeg picture = DecodeJpeg(snapshot.body);
  EXPECT_TRUE(picture.ok) << picture.error;
  if (said.find("STILLCAM_DEVICE=test") != std::string::npos) {
    EXPECT_EQ(picture.width, 640);
    EXPECT_EQ(picture.height, 480);
  }

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(pid, std::chrono::seconds(15)), 0) << OutputSoFar(output_path);
  EXPECT_FALSE(PortAnswers(port));
  // Nothing of the server is left: neither lighttpd nor a snapshot still running.
  EXPECT_TRUE(ProcessesMentioning(STILLCAM_SITE_DIR "/").empty());
}

// Stopped while it is still compiling: the compilers go too, and nothing is left running.
TEST(ServeScript, StopsTheBuildWhenStoppedWhileBuilding) {
  TempFolder folder;
  const std::string build_dir = STILLCAM_BUILD_DIR "/serve-interrupted";
  const std::string build_path = STILLCAM_SOURCE_DIR "/" + build_dir;
  std::filesystem::remove_all(build_path);
  const pid_t pid = StartServe(FreeLoopbackPort(), build_dir, folder.path() + "/serve.out", folder.path());
  ASSERT_GT(pid, 0);

  const auto deadline = Clock::now() + std::chrono::minutes(3);
  while (!CompilerRunsIn(build_path) && Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      FAIL() << "scripts/serve ended before it compiled:\n" << OutputSoFar(folder.path() + "/serve.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(CompilerRunsIn(build_path)) << OutputSoFar(folder.path() + "/serve.out");

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(pid, std::chrono::seconds(30)), 0) << OutputSoFar(folder.path() + "/serve.out");
  // A compiler may take a moment to go after its make has gone.
  const auto gone_by = Clock::now() + std::chrono::seconds(10);
  while (!ProcessesIn(build_path).empty() && Clock::now() < gone_by) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(ProcessesIn(build_path).empty());
  EXPECT_NE(OutputSoFar(folder.path() + "/serve.out").find("stillcam: stopped"), std::string::npos);
  std::filesystem::remove_all(build_path);
}

}  // namespace
