// The share folder on a POSIX system: its checks, the kept files and the clock.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cgi/picture_share.h"

namespace {

constexpr char kMagic[8] = {'s', 't', 'i', 'l', 'l', 'k', 'p', '1'};
constexpr size_t kBootSize = 40;

// The start of each kept file, in this machine's byte order; the key and then the picture follow.
struct KeptHead {
  char magic[sizeof kMagic];
  char boot[kBootSize];  // NUL-padded
  int64_t frame_time;
  uint64_t key_size;
  uint64_t picture_size;
};

std::string ReadBootId() {
  UniqueFd file(OpenForReading("/proc/sys/kernel/random/boot_id", true));
  char text[kBootSize + 8];
  const long count = file.valid() ? ReadSome(file.get(), text, sizeof text) : -1;
  if (count <= 0) return "";
  std::string id(text, static_cast<size_t>(count));
  while (!id.empty() && id.back() == '\n') id.pop_back();
  return id.size() < kBootSize ? id : "";
}

// The key's 64-bit FNV-1a hash as the file name: short, and free of '/' whatever the device is called.
// The key itself is stored in the file and compared in full.
std::string FileNameFor(const std::string& key) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "picture-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

bool ReadWhole(int fd, void* into, size_t size) {
  auto* bytes = static_cast<char*>(into);
  while (size > 0) {
    const long count = ReadSome(fd, bytes, size);
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

bool CopyWhole(int from_fd, uint64_t size, int to_fd) {
  char block[16384];
  for (uint64_t offset = 0; offset < size;) {
    const long count = ReadSomeAt(from_fd, block, sizeof block, offset);
    if (count <= 0 || !WriteAllBytes(to_fd, block, static_cast<size_t>(count))) return false;
    offset += static_cast<uint64_t>(count);
  }
  return true;
}

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

}  // namespace

int64_t ShareClockNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::string DefaultShareFolder(const std::string& temporary_folder) {
  return temporary_folder + "/stillcam-share-" + std::to_string(geteuid());
}

PictureShare::PictureShare(std::string folder, bool verbose) : folder_path_(std::move(folder)), verbose_(verbose) {}

void PictureShare::Report(const std::string& what) const {
  if (verbose_) std::fprintf(stderr, "stillcam: %s\n", what.c_str());
}

bool PictureShare::OpenFolder(bool create) {
  if (folder_.valid()) return true;
  if (!problem_.empty()) return false;
  auto unusable = [this](const std::string& why) {
    problem_ = "share folder " + folder_path_ + ": " + why + "; not sharing";
    Report(problem_);
    return false;
  };
  if (create && mkdir(folder_path_.c_str(), 0700) != 0 && errno != EEXIST)
    return unusable(std::string("cannot make it: ") + std::strerror(errno));
  struct stat named{};
  if (lstat(folder_path_.c_str(), &named) != 0) {
    if (errno == ENOENT && !create) return false;  // nothing kept yet: no problem
    return unusable(std::string("cannot see it: ") + std::strerror(errno));
  }
  if (S_ISLNK(named.st_mode)) return unusable("is a symlink");
  // The checks below look at what was opened, so nothing can be swapped in between.
  UniqueFd folder(open(folder_path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) {
    if (errno == ENOTDIR || errno == ELOOP) return unusable("is not a folder");
    return unusable(std::string("cannot open it: ") + std::strerror(errno));
  }
  struct stat facts{};
  if (fstat(folder.get(), &facts) != 0) return unusable(std::string("cannot see it: ") + std::strerror(errno));
  if (!S_ISDIR(facts.st_mode)) return unusable("is not a folder");
  if (facts.st_uid != geteuid())
    return unusable("belongs to user " + std::to_string(facts.st_uid) + ", not to " + std::to_string(geteuid()));
  if ((facts.st_mode & 077) != 0) return unusable("mode " + Octal(facts.st_mode) + " lets others in");
  boot_ = ReadBootId();
  if (boot_.empty()) return unusable("the kernel's boot id cannot be read");
  folder_ = std::move(folder);
  return true;
}

void PictureShare::Publish(const std::string& key, int64_t frame_time, int picture_fd) {
  if (!OpenFolder(true)) return;
  struct stat picture{};
  if (fstat(picture_fd, &picture) != 0 || !S_ISREG(picture.st_mode)) return Report("cannot share the picture: not a file");
  const std::string name = FileNameFor(key);
  const std::string temporary = name + "." + std::to_string(getpid());
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd kept(openat(folder_.get(), temporary.c_str(), kFlags, 0600));
  if (!kept.valid() && errno == EEXIST) {  // left by a run that died here under the same process id
    unlinkat(folder_.get(), temporary.c_str(), 0);
    kept = UniqueFd(openat(folder_.get(), temporary.c_str(), kFlags, 0600));
  }
  if (!kept.valid()) return Report(std::string("cannot share the picture: ") + std::strerror(errno));

  KeptHead head{};
  std::memcpy(head.magic, kMagic, sizeof kMagic);
  std::memcpy(head.boot, boot_.data(), boot_.size());
  head.frame_time = frame_time;
  head.key_size = key.size();
  head.picture_size = static_cast<uint64_t>(picture.st_size);
  const bool kept_whole = WriteAllBytes(kept.get(), &head, sizeof head) &&
                          WriteAllBytes(kept.get(), key.data(), key.size()) &&
                          CopyWhole(picture_fd, head.picture_size, kept.get()) &&
                          CloseDescriptor(kept.Release()) == 0 &&
                          renameat(folder_.get(), temporary.c_str(), folder_.get(), name.c_str()) == 0;
  if (!kept_whole) {
    const int error = errno;
    unlinkat(folder_.get(), temporary.c_str(), 0);
    Report(std::string("cannot share the picture: ") + std::strerror(error));
  }
}

UniqueFd PictureShare::Find(const std::string& key, int64_t started) {
  if (!OpenFolder(false)) return UniqueFd();
  UniqueFd kept(openat(folder_.get(), FileNameFor(key).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat facts{};
  KeptHead head{};
  if (!kept.valid() || fstat(kept.get(), &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_uid != geteuid() ||
      !ReadWhole(kept.get(), &head, sizeof head))
    return UniqueFd();
  char boot[kBootSize] = {};
  std::memcpy(boot, boot_.data(), boot_.size());
  // Only a frame taken after the request started may answer it: sharing adds no staleness.
  const bool answers = std::memcmp(head.magic, kMagic, sizeof kMagic) == 0 &&
                       std::memcmp(head.boot, boot, sizeof boot) == 0 && head.frame_time > started &&
                       head.key_size == key.size() &&
                       sizeof head + head.key_size + head.picture_size == static_cast<uint64_t>(facts.st_size);
  if (!answers) return UniqueFd();
  std::string stored(key.size(), '\0');
  if (!ReadWhole(kept.get(), stored.data(), stored.size()) || stored != key) return UniqueFd();
  return UniqueFd(kept.Release());
}
