#include "cgi/run_files.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace {

// The signal handler can reach the live run only through a global; it is set and cleared by RunFiles.
volatile sig_atomic_t g_have_live_files = 0;
const RunFiles* volatile g_live_files = nullptr;

void MakeUniqueFile(char (&path)[PATH_MAX], const char* tmpdir, const char* suffix) {
  int length = std::snprintf(path, sizeof path, "%s/stillcam-XXXXXX%s", tmpdir, suffix);
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
    path[0] = '\0';
    throw std::system_error(ENAMETOOLONG, std::generic_category(), "temporary folder");
  }
  // mkstemps creates with O_CREAT|O_EXCL and mode 0600: an existing file or symlink is never reused.
  int fd = mkstemps(path, static_cast<int>(std::char_traits<char>::length(suffix)));
  if (fd < 0) {
    int error = errno;
    path[0] = '\0';
    throw std::system_error(error, std::generic_category(), tmpdir);
  }
  close(fd);
}

void RemoveIfPresent(const char* path) {
  if (path[0] != '\0') unlink(path);  // a failed removal is not worth failing the request for
}

void RemoveLiveFilesAndDie(int signal_number) {
  if (g_have_live_files) {
    RemoveIfPresent(g_live_files->frame_path());
    RemoveIfPresent(g_live_files->picture_path());
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

}  // namespace

RunFiles::RunFiles(const char* tmpdir) {
  MakeUniqueFile(frame_path_, tmpdir, ".bmp");
  g_live_files = this;
  g_have_live_files = 1;
  try {
    MakeUniqueFile(picture_path_, tmpdir, ".jpg");
  } catch (...) {
    g_have_live_files = 0;
    RemoveIfPresent(frame_path_);
    throw;
  }
}

RunFiles::~RunFiles() {
  // Cleared only after the removals: lighttpd sends SIGTERM as soon as it has the whole response,
  // often right here, and the handler must still find the files (a second unlink is harmless).
  RemoveIfPresent(frame_path_);
  RemoveIfPresent(picture_path_);
  g_have_live_files = 0;
}

void RemoveRunFilesOnTermination() {
  struct sigaction action = {};
  action.sa_handler = RemoveLiveFilesAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
}
