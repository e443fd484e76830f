#pragma once

#include "base/unique_fd.h"

// One of the run's own files (frame or picture), reached by its path and written anew in place,
// created with mode 0600 when absent. Not truncated on opening but cut to length in Finish(): on
// ext4 a truncated file that is written anew is flushed to disk on close (milliseconds per request).
class RewrittenFile {
 public:
  explicit RewrittenFile(const char* path);  // fd() < 0 with errno set when it cannot be opened

  int fd() const { return fd_.get(); }
  // Cuts the file where the writes ended and closes it. False with errno set; a failed close can be
  // the first report of a failed write (a full disk on NFS, for one).
  bool Finish();

 private:
  UniqueFd fd_;
};
