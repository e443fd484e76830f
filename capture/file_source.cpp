#include "capture/file_source.h"

#include <cerrno>
#include <cstring>

#include "base/platform.h"
#include "base/rewritten_file.h"

namespace {

// A frame file larger than this is no frame: refuse it rather than fill memory.
constexpr uint64_t kLargestFrameFile = 256 << 20;

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool FileSource::Connect() {
  fd_ = UniqueFd(OpenForReading(path_.c_str(), false));
  if (!fd_.valid()) return Fail(Why("cannot open " + path_));
  FileFacts facts;
  if (!ReadFileFacts(fd_.get(), facts)) return Fail(Why(path_));
  if (!facts.regular) return Fail(path_ + ": not a regular file");
  return true;
}

bool FileSource::Grab() {
  FileFacts facts;
  if (!ReadFileFacts(fd_.get(), facts)) return Fail(Why(path_));
  if (facts.size > kLargestFrameFile) return Fail(path_ + ": too large for a frame file");
  bytes_.resize(static_cast<size_t>(facts.size));
  size_t done = 0;
  while (done < bytes_.size()) {
    long got = ReadSomeAt(fd_.get(), bytes_.data() + done, bytes_.size() - done, done);
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
