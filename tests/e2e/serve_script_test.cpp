// scripts/serve as a developer runs it: in the background on a free port, then stopped with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

TEST(ServeScript, ServesThePageAndSnapshotsAndStopsCleanlyOnSigterm) {
  TempFolder folder;
  const std::string output_path = folder.path() + "/serve.out";
  const int port = FreeLoopbackPort();
  const std::string script = STILLCAM_SOURCE_DIR "/scripts/serve";
  // The script builds into our own build folder, which is already up to date.
  std::vector<std::string> argv_strings = {"/bin/bash", script, std::to_string(port)};
  std::vector<std::string> env_strings = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                          "HOME=" + folder.path(), "STILLCAM_BUILD_DIR=" STILLCAM_BUILD_DIR};
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
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  while (OutputSoFar(output_path).find("serving " + url) == std::string::npos && Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      FAIL() << "scripts/serve ended early:\n" << OutputSoFar(output_path);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string said = OutputSoFar(output_path);
  ASSERT_NE(said.find("serving " + url), std::string::npos) << said;

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

}  // namespace
