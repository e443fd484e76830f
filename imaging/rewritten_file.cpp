#include "imaging/rewritten_file.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

bool WriteAllBytes(int fd, const void* data, size_t size) {
  iovec piece = {const_cast<void*>(data), size};
  return WritevAllBytes(fd, &piece, 1);
}

bool WritevAllBytes(int fd, iovec* vectors, size_t count) {
  while (count > 0 && vectors->iov_len == 0) ++vectors, --count;
  while (count > 0) {
    int batch = static_cast<int>(count < IOV_MAX ? count : IOV_MAX);
    ssize_t written = writev(fd, vectors, batch);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= vectors->iov_len) {
      left -= vectors->iov_len;
      ++vectors;
      --count;
    }
    if (left > 0) {
      vectors->iov_base = static_cast<uint8_t*>(vectors->iov_base) + left;
      vectors->iov_len -= left;
    }
  }
  return true;
}

RewrittenFile::RewrittenFile(const char* path)
    : fd_(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {}

bool RewrittenFile::Finish() {
  off_t length = lseek(fd_.get(), 0, SEEK_CUR);
  bool cut = length >= 0 && ftruncate(fd_.get(), length) == 0;
  int error = errno;
  if (close(fd_.Release()) != 0) return false;
  errno = error;
  return cut;
}
