#include "base/rewritten_file.h"

#include <cerrno>

#include "base/platform.h"

RewrittenFile::RewrittenFile(const char* path) : fd_(OpenForRewriting(path)) {}

bool RewrittenFile::Finish() {
  bool cut = CutAtPosition(fd_.get());
  int error = errno;
  if (CloseDescriptor(fd_.Release()) != 0) return false;
  errno = error;
  return cut;
}
