#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "cgi/cgi_response.h"
#include "tests/support/jpeg_decode.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string ProcessState(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat_file, line);
  size_t paren = line.rfind(')');
  if (paren == std::string::npos || paren + 2 >= line.size()) return "";
  return line.substr(paren + 2, 1);
}

}  // namespace

RunningStillcam::RunningStillcam(const std::vector<std::string>& env, const StartOptions& options) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (options.stdout_kind != StdoutKind::kClosed) {
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (options.pipe_capacity > 0 && fcntl(out_pipe[1], F_SETPIPE_SZ, options.pipe_capacity) < 0) {
      throw std::runtime_error("F_SETPIPE_SZ");
    }
    if (options.nonblocking_stdout && fcntl(out_pipe[1], F_SETFL, O_NONBLOCK) < 0) {
      throw std::runtime_error("F_SETFL");
    }
    if (options.stdout_kind == StdoutKind::kReaderGone) {
      close(out_pipe[0]);
      out_pipe[0] = -1;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (options.stdout_kind == StdoutKind::kClosed) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);

  std::vector<std::string> argv_strings = options.prefix;
  argv_strings.push_back(options.binary);
  std::vector<std::string> env_strings = env;
  if (std::none_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("TMPDIR=", 0) == 0; })) {
    env_strings.push_back("TMPDIR=/tmp");
  }
  std::vector<char*> argv = NullTerminated(argv_strings);
  std::vector<char*> envp = NullTerminated(env_strings);

  mode_t old_umask = options.clear_umask ? umask(0) : 0;
  int spawn_error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  if (options.clear_umask) umask(old_umask);
  posix_spawn_file_actions_destroy(&actions);
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  if (spawn_error != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv_strings[0]);
  }
}

RunningStillcam::~RunningStillcam() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

std::string RunningStillcam::ReadStdout(size_t count) {
  std::string bytes;
  while (bytes.size() < count && out_fd_ >= 0) {
    char buffer[4096];
    ssize_t got = read(out_fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  out_ += bytes;
  return bytes;
}

void RunningStillcam::CloseStdout() {
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
}

ProcessResult RunningStillcam::Finish(std::chrono::seconds bound) {
  ProcessResult result;
  const auto deadline = Clock::now() + bound;
  int* fds[2] = {&out_fd_, &err_fd_};
  std::string* sinks[2] = {&out_, &err_};
  while ((out_fd_ >= 0 || err_fd_ >= 0) && !hung_) {
    pollfd polled[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      hung_ = true;
      break;
    }
    int ready = poll(polled, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0 || polled[i].revents == 0) continue;
      char buffer[65536];
      ssize_t got = read(*fds[i], buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(*fds[i]);
        *fds[i] = -1;
      }
    }
  }
  // The pipes may close before the process ends (it closes stdout after the response).
  int status = 0;
  while (!hung_) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) break;
    if (Clock::now() >= deadline) {
      hung_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (hung_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = out_;
  result.err = err_;
  return result;
}

bool WaitUntilPipeFull(pid_t pid, int pipe_fd, int capacity) {
  for (;;) {
    int unread = 0;
    if (ioctl(pipe_fd, FIONREAD, &unread) == 0 && unread >= capacity) return true;
    std::string state = ProcessState(pid);
    if (state.empty() || state == "Z") return false;
    std::this_thread::yield();
  }
}

std::vector<HeldFile> FilesHeldIn(pid_t pid, const std::string& folder) {
  std::vector<HeldFile> held;
  const std::string descriptors = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code gone;
  for (const auto& entry : std::filesystem::directory_iterator(descriptors, gone)) {
    std::error_code unreadable;
    std::string target = std::filesystem::read_symlink(entry.path(), unreadable).string();
    if (unreadable || target.rfind(folder + "/", 0) != 0) continue;
    struct stat info {};
    if (stat(entry.path().c_str(), &info) != 0) continue;
    auto inode = static_cast<unsigned long>(info.st_ino);
    if (std::any_of(held.begin(), held.end(), [&](const HeldFile& file) { return file.inode == inode; }))
      continue;
    held.push_back({target, info.st_mode, static_cast<unsigned long>(info.st_nlink), info.st_uid, inode});
  }
  return held;
}

std::vector<std::string> RunFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string name = entry.path().filename();
    if (name.rfind("stillcam-", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, EntryState> SnapshotTree(const std::string& root) {
  std::map<std::string, EntryState> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat info {};
    if (lstat(entry.path().c_str(), &info) != 0) continue;
    EntryState state;
    state.size = info.st_size;
    state.mtime_ns = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    state.mode = info.st_mode;
    if (S_ISREG(info.st_mode)) state.content = ReadFileBytes(entry.path());
    if (S_ISLNK(info.st_mode)) state.content = std::filesystem::read_symlink(entry.path());
    tree[entry.path()] = state;
  }
  return tree;
}

std::string DescribeFaultPathMismatch(const ProcessResult& result, const std::string& stage) {
  std::string problems;
  if (result.term_signal != 0) problems += "died of signal " + std::to_string(result.term_signal) + "; ";
  if (result.exit_status != 1) problems += "exit status " + std::to_string(result.exit_status) + ", not 1; ";
  const std::string prefix = "stillcam: " + stage + ": ";
  size_t newline = result.err.find('\n');
  if (result.err.rfind(prefix, 0) != 0 || newline == std::string::npos || newline + 1 != result.err.size() ||
      result.err.size() <= prefix.size() + 1) {
    problems += "stderr is not one line \"" + prefix + "<why>\": \"" + result.err + "\"; ";
  }
  // A response that was cut by the fault may have started; a complete picture must not follow.
  if (result.out.size() > kResponseHeaderSize && DecodeJpeg(result.out.substr(kResponseHeaderSize)).ok) {
    problems += "a complete picture was sent; ";
  }
  return problems;
}

std::pair<int, int> ExpectedSize(const std::string& query) {
  std::string upper = query.substr(0, 49);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper.find("MEDIUM") != std::string::npos) return {320, 240};
  if (upper.find("LARGE") != std::string::npos) return {640, 480};
  return {160, 120};
}

std::string DescribeResponseMismatch(const std::string& out, int width, int height) {
  if (out.rfind(kResponseHeader, 0) != 0)
    return "no response header; stdout has " + std::to_string(out.size()) + " bytes";
  DecodedJpeg picture = DecodeJpeg(out.substr(kResponseHeaderSize));
  if (!picture.ok) return "the picture does not decode: " + picture.error;
  if (picture.width != width || picture.height != height) {
    return "picture is " + std::to_string(picture.width) + "x" + std::to_string(picture.height) + ", asked " +
           std::to_string(width) + "x" + std::to_string(height);
  }
  return "";
}

std::string WhyMountsAreUnavailable() {
  if (geteuid() != 0) return "not root: tmpfs mounts need root";
  TempFolder probe;
  if (mount("tmpfs", probe.path().c_str(), "tmpfs", 0, "size=4k") != 0) {
    return std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
  }
  umount2(probe.path().c_str(), MNT_DETACH);
  return "";
}

TinyTmpfs::TinyTmpfs(const std::string& mount_options) {
  unsigned long flags = 0;
  std::string data = mount_options;
  if (data.rfind("ro,", 0) == 0) {
    flags |= MS_RDONLY;
    data = data.substr(3);
  }
  mounted_ = mount("tmpfs", folder_.path().c_str(), "tmpfs", flags, data.c_str()) == 0;
}

TinyTmpfs::~TinyTmpfs() {
  if (mounted_) umount2(folder_.path().c_str(), MNT_DETACH);
}
