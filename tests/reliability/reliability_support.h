#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

// How a started stillcam's standard output is connected.
enum class StdoutKind {
  kPipe,        // a pipe the test reads (or does not read)
  kClosed,      // no descriptor 1 at all
  kReaderGone,  // a pipe whose reading end is already closed
};

struct StartOptions {
  StdoutKind stdout_kind = StdoutKind::kPipe;
  int pipe_capacity = 0;                 // F_SETPIPE_SZ for the stdout pipe; 0 keeps the default
  std::vector<std::string> prefix;       // e.g. setpriv and its arguments, run in front of the binary
  bool clear_umask = false;              // start the child with umask 0
  bool nonblocking_stdout = false;       // O_NONBLOCK on the child's stdout pipe
  std::string binary = STILLCAM_BINARY;  // the program to run
};

// A stillcam process started in the background, as a web server starts it.
class RunningStillcam {
 public:
  RunningStillcam(const std::vector<std::string>& env, const StartOptions& options = {});
  ~RunningStillcam();  // kills and reaps the process if it is still there
  RunningStillcam(const RunningStillcam&) = delete;
  RunningStillcam& operator=(const RunningStillcam&) = delete;

  pid_t pid() const { return pid_; }
  int stdout_fd() const { return out_fd_; }

  // Reads exactly count bytes of stdout (fewer only at its end).
  std::string ReadStdout(size_t count);
  // Closes the test's end of the stdout pipe: the reader goes away.
  void CloseStdout();
  // Reads what is left of stdout and stderr and reaps the process. A process still running after
  // the bound is killed and reported as hung (exit_status -1, term_signal SIGKILL, hung true).
  ProcessResult Finish(std::chrono::seconds bound = std::chrono::seconds(60));
  bool hung() const { return hung_; }
  const std::string& stdout_so_far() const { return out_; }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  bool hung_ = false;
};

// Waits until the stdout pipe (read end pipe_fd) holds capacity unread bytes: the process can write
// no more until the reader reads. False when the process ended first.
bool WaitUntilPipeFull(pid_t pid, int pipe_fd, int capacity);

// Files of the run still lying in folder (names starting "stillcam-").
std::vector<std::string> RunFilesIn(const std::string& folder);

// A file in folder that a live process holds open, as /proc shows it.
struct HeldFile {
  std::string target;  // what the descriptor's link in /proc names
  unsigned mode = 0;   // st_mode
  unsigned long links = 0;
  unsigned uid = 0;
  unsigned long inode = 0;
};
// The files in folder that process pid holds open, each once however many descriptors it has.
std::vector<HeldFile> FilesHeldIn(pid_t pid, const std::string& folder);

// Path -> (size, mtime in ns, mode, content) of every entry under root, symlinks not followed.
struct EntryState {
  long long size = 0;
  long long mtime_ns = 0;
  unsigned mode = 0;
  std::string content;  // regular files: the bytes; symlinks: the target
  bool operator==(const EntryState&) const = default;
};
std::map<std::string, EntryState> SnapshotTree(const std::string& root);

// The run's fault path: one stderr line "stillcam: <stage>: <why>", exit 1, nothing of a picture.
// Returns a description of what differs, empty when the result matches.
std::string DescribeFaultPathMismatch(const ProcessResult& result, const std::string& stage);

// Expected width and height for a query, as the README states the keyword rules (the first 49
// characters, any letter case, MEDIUM before LARGE).
std::pair<int, int> ExpectedSize(const std::string& query);

// The checks of a complete response: the 25-byte header then a JPEG that libjpeg decodes at the
// given size. Empty when it holds, a description otherwise.
std::string DescribeResponseMismatch(const std::string& out, int width, int height);

// True when the run can mount a tmpfs (root with CAP_SYS_ADMIN); the reason otherwise.
std::string WhyMountsAreUnavailable();

// A tmpfs mounted on a fresh folder for the life of the object.
class TinyTmpfs {
 public:
  explicit TinyTmpfs(const std::string& mount_options);
  ~TinyTmpfs();
  TinyTmpfs(const TinyTmpfs&) = delete;
  TinyTmpfs& operator=(const TinyTmpfs&) = delete;
  const std::string& path() const { return folder_.path(); }
  bool mounted() const { return mounted_; }

 private:
  TempFolder folder_;
  bool mounted_ = false;
};
