#include "capture/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "capture/write_all.h"

namespace {

// A frame file larger than this is no frame: refuse it rather than fill memory.
constexpr off_t kLargestFrameFile = 256 << 20;

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

FileSource::~FileSource() {
  if (fd_ >= 0) close(fd_);
}

bool FileSource::Connect() {
  fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) return Fail(Why("cannot open " + path_));
  struct stat status {};
  if (fstat(fd_, &status) != 0) return Fail(Why(path_));
  if (!S_ISREG(status.st_mode)) return Fail(path_ + ": not a regular file");
  return true;
}

bool FileSource::Grab() {
  struct stat status {};
  if (fstat(fd_, &status) != 0) return Fail(Why(path_));
  if (status.st_size > kLargestFrameFile) return Fail(path_ + ": too large for a frame file");
  bytes_.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t got = pread(fd_, bytes_.data() + done, bytes_.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(Why("cannot read " + path_));
    if (got == 0) break;  // the file shrank meanwhile: deliver what it holds now
    done += static_cast<size_t>(got);
  }
  bytes_.resize(done);
  return true;
}

bool FileSource::SaveFrame(const char* path) {
  // Cut to length after the write rather than O_TRUNC, as the BMP writer does: ext4 flushes a
  // truncated file that is written anew on close, and the run's unlink would wait for it.
  int out = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return Fail(Why("cannot create the frame file"));
  bool written = WriteAllBytes(out, bytes_.data(), bytes_.size()) &&
                 ftruncate(out, static_cast<off_t>(bytes_.size())) == 0;
  int error = errno;
  if (close(out) != 0 && written) {
    written = false;
    error = errno;
  }
  errno = error;
  return written || Fail(Why("cannot write the frame file"));
}
