#include "cgi/picture_share.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// A field with its length first, so that no two different sets of fields make the same key.
std::string Field(const char* name, const std::string& value) {
  return std::string(name) + " " + std::to_string(value.size()) + ":" + value + "\n";
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

}  // namespace

std::string ShareKey(const std::string& device, const SnapshotOptions& options, const std::string& font,
                     const std::string& bold_font) {
  const char* caption = !options.caption ? "none" : options.bold ? "bold" : "regular";
  std::string key =
      Field("device", device) +
      Field("size", std::to_string(options.frame_width) + "x" + std::to_string(options.frame_height)) +
      Field("caption", caption);
  if (options.caption) key += Field("font", font) + Field("bold font", bold_font);
  return key;
}

int64_t ShareClockNow() { return MonotonicNanoseconds(); }

std::string DefaultShareFolder(const std::string& temporary_folder) {
  return temporary_folder + "/stillcam-share-" + UserNumber();
}

PictureShare::PictureShare(std::string folder, bool verbose)
    : folder_path_(std::move(folder)), verbose_(verbose) {}

void PictureShare::Report(const std::string& what) const {
  if (verbose_) std::fprintf(stderr, "stillcam: %s\n", what.c_str());
}

bool PictureShare::OpenFolder(bool create) {
  if (folder_.valid()) return true;
  if (!problem_.empty()) return false;
  std::string why;
  UniqueFd folder(OpenPrivateFolder(folder_path_.c_str(), create, why));
  if (folder.valid()) {
    boot_ = BootId();
    if (!boot_.empty() && boot_.size() < kBootSize) {
      folder_ = std::move(folder);
      return true;
    }
    why = "the machine's boot id cannot be read";
  }
  if (why.empty()) return false;  // nothing kept yet
  problem_ = "share folder " + folder_path_ + ": " + why + "; not sharing";
  Report(problem_);
  return false;
}

void PictureShare::Publish(const std::string& key, int64_t frame_time, int picture_fd) {
  if (!OpenFolder(true)) return;
  FileFacts picture;
  if (!ReadFileFacts(picture_fd, picture) || !picture.regular)
    return Report("cannot share the picture: not a file");
  const std::string name = FileNameFor(key);
  const std::string temporary = name + "." + ProcessNumber();
  UniqueFd kept(CreateFileIn(folder_.get(), temporary.c_str()));
  if (!kept.valid() && errno == EEXIST) {  // left by a run that died here under the same process number
    RemoveFileIn(folder_.get(), temporary.c_str());
    kept = UniqueFd(CreateFileIn(folder_.get(), temporary.c_str()));
  }
  if (!kept.valid()) return Report(std::string("cannot share the picture: ") + std::strerror(errno));

  KeptHead head{};
  std::memcpy(head.magic, kMagic, sizeof kMagic);
  std::memcpy(head.boot, boot_.data(), boot_.size());
  head.frame_time = frame_time;
  head.key_size = key.size();
  head.picture_size = picture.size;
  const bool kept_whole =
      WriteAllBytes(kept.get(), &head, sizeof head) && WriteAllBytes(kept.get(), key.data(), key.size()) &&
      CopyWhole(picture_fd, head.picture_size, kept.get()) && CloseDescriptor(kept.Release()) == 0 &&
      RenameIn(folder_.get(), temporary.c_str(), name.c_str());
  if (!kept_whole) {
    const int error = errno;
    RemoveFileIn(folder_.get(), temporary.c_str());
    Report(std::string("cannot share the picture: ") + std::strerror(error));
  }
}

UniqueFd PictureShare::Find(const std::string& key, int64_t started) {
  if (!OpenFolder(false)) return UniqueFd();
  UniqueFd kept(OpenOwnFileIn(folder_.get(), FileNameFor(key).c_str()));
  FileFacts facts;
  KeptHead head{};
  if (!kept.valid() || !ReadFileFacts(kept.get(), facts) || !ReadWhole(kept.get(), &head, sizeof head))
    return UniqueFd();
  char boot[kBootSize] = {};
  std::memcpy(boot, boot_.data(), boot_.size());
  // Only a frame taken after the request started may answer it: sharing adds no staleness.
  const bool answers = std::memcmp(head.magic, kMagic, sizeof kMagic) == 0 &&
                       std::memcmp(head.boot, boot, sizeof boot) == 0 && head.frame_time > started &&
                       head.key_size == key.size() &&
                       sizeof head + head.key_size + head.picture_size == facts.size;
  if (!answers) return UniqueFd();
  std::string stored(key.size(), '\0');
  if (!ReadWhole(kept.get(), stored.data(), stored.size()) || stored != key) return UniqueFd();
  return UniqueFd(kept.Release());
}
