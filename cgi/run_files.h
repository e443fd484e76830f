#pragma once

#include <climits>

// The run's own frame file (.bmp) and picture file (.jpg): unique names, created exclusively with
// mode 0600 in the temporary folder, so that simultaneous requests never share a file and no
// planted symlink can redirect a write. Both are removed when the object goes, on every path.
class RunFiles {
 public:
  // Creates both files in tmpdir. Throws std::system_error when either cannot be made.
  explicit RunFiles(const char* tmpdir);
  ~RunFiles();
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;

  const char* frame_path() const { return frame_path_; }
  const char* picture_path() const { return picture_path_; }

 private:
  char frame_path_[PATH_MAX] = {};
  char picture_path_[PATH_MAX] = {};
  int held_fd_ = -1;  // where the system can, a descriptor that removes the picture file when it goes
};

// On SIGTERM, SIGINT or SIGHUP (the web server giving up on us) the live run's files are removed
// before the process dies of the signal. Call once at start.
void RemoveRunFilesOnTermination();
