#pragma once

#include "base/platform.h"

// The run's own frame file and picture file in the temporary folder, made as the system allows
// best (see RunFile): on POSIX neither ever has a name there, so simultaneous requests never share a
// file, and whatever ends the process, a SIGKILL from the web server included, nothing is left.
class RunFiles {
 public:
  // Makes both files in tmpdir. Throws std::system_error when either cannot be made.
  explicit RunFiles(const char* tmpdir)
      : frame_(tmpdir, ".bmp", RunFile::Access::kWrittenByName), picture_(tmpdir, ".jpg") {}

  const char* frame_path() const { return frame_.path(); }
  const char* picture_path() const { return picture_.path(); }

 private:
  RunFile frame_;
  RunFile picture_;
};
