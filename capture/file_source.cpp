#include "capture/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "imaging/rewritten_file.h"

namespace {

// A frame file larger than this is no frame: refuse it rather than fill memory.
constexpr off_t kLargestFrameFile = 256 << 20;

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool FileSource::Connect() {
  fd_ = UniqueFd(open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd_.valid()) return Fail(Why("cannot open " + path_));
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return Fail(Why(path_));
  if (!S_ISREG(status.st_mode)) return Fail(path_ + ": not a regular file");
  return true;
}

bool FileSource::Grab() {
  struct stat status {};
  if (fstat(fd_.get(), &status) != 0) return Fail(Why(path_));
  if (status.st_size > kLargestFrameFile) return Fail(path_ + ": too large for a frame file");
  bytes_.resize(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t got = pread(fd_.get(), bytes_.data() + done, bytes_.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(Why("cannot read " + path_));
    if (got == 0) break;  // the file shrank meanwhile: deliver what it holds now
    done += static_cast<size_t>(got);
  }
  bytes_.resize(done);
  return true;
}

bool FileSource::SaveFrame(const char* path) {
  RewrittenFile out(path);
  if (out.fd() < 0) return Fail(Why("cannot create the frame file"));
  return (WriteAllBytes(out.fd(), bytes_.data(), bytes_.size()) && out.Finish()) ||
         Fail(Why("cannot write the frame file"));
}
