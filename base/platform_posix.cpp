// The platform layer on POSIX systems (Linux first of all).
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <limits.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/platform.h"

namespace {

// A path into /proc/self/fd names a descriptor the process holds, as the run files are named. Opening
// it anew goes through procfs, which first builds its entries for the process, and makes a new open
// file that ext4 releases at its close with a writer's work; a copy of the descriptor reaches the
// same file at a fraction of the cost. Only for a regular file whose access mode allows the use:
// anything else (a pipe, a read-only descriptor to be written) is opened anew. -1 then.
int CopyOfHeldDescriptor(const char* path, int access_mode) {
  constexpr std::string_view kHeld = "/proc/self/fd/";
  const std::string_view name(path);
  if (!name.starts_with(kHeld) || name.size() == kHeld.size() || name.size() > kHeld.size() + 9) return -1;
  int held = 0;
  for (char digit : name.substr(kHeld.size())) {
    if (digit < '0' || digit > '9') return -1;
    held = held * 10 + (digit - '0');
  }
  const int flags = fcntl(held, F_GETFL);
  struct stat status {};
  if (flags < 0 || ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != access_mode) ||
      (flags & O_APPEND) != 0 || fstat(held, &status) != 0 || !S_ISREG(status.st_mode))
    return -1;
  const int copy = fcntl(held, F_DUPFD_CLOEXEC, 0);
  // The copy shares the position: every use of a run file starts at its beginning.
  if (copy >= 0 && lseek(copy, 0, SEEK_SET) != 0) {
    close(copy);
    return -1;
  }
  return copy;
}

}  // namespace

int OpenForReading(const char* path, bool never_follow) {
  if (!never_follow) {
    if (const int copy = CopyOfHeldDescriptor(path, O_RDONLY); copy >= 0) return copy;
  }
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (never_follow ? O_NOFOLLOW : 0));
}

int OpenForRewriting(const char* path) {
  if (const int copy = CopyOfHeldDescriptor(path, O_WRONLY); copy >= 0) return copy;
  return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
}

RunFile::RunFile(const char* folder, const char* suffix, Access /*access: no difference here*/) {
  int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // Without unnamed files (a file system or kernel that lacks them): a fresh name, gone at once.
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = std::string(folder) + "/stillcam-XXXXXX" + suffix;
    if (name.size() >= PATH_MAX) throw std::system_error(ENAMETOOLONG, std::generic_category(), folder);
    fd = mkostemps(name.data(), static_cast<int>(std::strlen(suffix)), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) throw std::system_error(errno, std::generic_category(), folder);
  fd_ = fd;
  // The name of the descriptor: OpenForReading and OpenForRewriting reach the file through it
  // without procfs, so a system without /proc mounted runs all the same.
  path_ = "/proc/self/fd/" + std::to_string(fd);
}

RunFile::~RunFile() {
  if (fd_ >= 0) close(fd_);
}

RunFile::RunFile(RunFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

RunFile& RunFile::operator=(RunFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

int CloseDescriptor(int fd) { return close(fd); }

long ReadSome(int fd, void* into, size_t size) {
  for (;;) {
    ssize_t got = read(fd, into, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

long ReadSomeAt(int fd, void* into, size_t size, uint64_t offset) {
  for (;;) {
    ssize_t got = pread(fd, into, size, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool CutAtPosition(int fd) {
  off_t length = lseek(fd, 0, SEEK_CUR);
  return length >= 0 && ftruncate(fd, length) == 0;
}

bool IsReadable(const char* path) { return access(path, R_OK) == 0; }

bool ReadFileFacts(int fd, FileFacts& facts) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  facts.regular = S_ISREG(status.st_mode);
  facts.size = static_cast<uint64_t>(std::max<off_t>(status.st_size, 0));
  return true;
}

bool WriteAllBytes(int fd, const void* data, size_t size) {
  BytePiece piece{data, size};
  return WriteAllPieces(fd, &piece, 1);
}

namespace {

// False with errno set when poll fails; a descriptor in error counts as writable, so that the write
// that follows reports the error.
bool WaitUntilWritable(int fd) {
  pollfd wanted = {fd, POLLOUT, 0};
  for (;;) {
    if (poll(&wanted, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool WriteAllPieces(int fd, BytePiece* pieces, size_t count) {
  constexpr size_t kBatch = IOV_MAX < 1024 ? IOV_MAX : 1024;
  iovec batch[kBatch];
  while (count > 0 && pieces->size == 0) ++pieces, --count;
  while (count > 0) {
    const size_t in_batch = std::min(count, kBatch);
    for (size_t i = 0; i < in_batch; ++i) batch[i] = {const_cast<void*>(pieces[i].data), pieces[i].size};
    ssize_t written = writev(fd, batch, static_cast<int>(in_batch));
    if (written < 0) {
      if (errno == EINTR) continue;
      // A descriptor left non-blocking (a server may hand us such a stdout): wait until it takes more.
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilWritable(fd)) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= pieces->size) {
      left -= pieces->size;
      ++pieces;
      --count;
    }
    if (left > 0) {
      pieces->data = static_cast<const uint8_t*>(pieces->data) + left;
      pieces->size -= left;
    }
  }
  return true;
}

int OpenPrivateFolder(const char* path, bool make, std::string& why) {
  if (make && mkdir(path, 0700) != 0 && errno != EEXIST) {
    why = std::string("cannot make it: ") + std::strerror(errno);
    return -1;
  }
  struct stat named {};
  if (lstat(path, &named) != 0) {
    why = errno == ENOENT && !make ? "" : std::string("cannot see it: ") + std::strerror(errno);
    return -1;
  }
  if (S_ISLNK(named.st_mode)) {
    why = "is a symlink";
    return -1;
  }
  // The checks below look at what was opened, so that nothing can be swapped in between.
  const int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    why = errno == ENOTDIR || errno == ELOOP ? "is not a folder"
                                             : std::string("cannot open it: ") + std::strerror(errno);
    return -1;
  }
  struct stat facts {};
  if (fstat(folder, &facts) != 0 || !S_ISDIR(facts.st_mode)) {
    why = "is not a folder";
  } else if (facts.st_uid != geteuid()) {
    why = "belongs to user " + std::to_string(facts.st_uid) + ", not to " + std::to_string(geteuid());
  } else if ((facts.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(facts.st_mode & 07777));
    why = std::string("mode ") + mode + " lets others in";
  } else {
    return folder;
  }
  close(folder);
  return -1;
}

int CreateFileIn(int folder, const char* name) {
  return openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int OpenOwnFileIn(int folder, const char* name) {
  const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat facts {};
  if (fd < 0 || (fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_uid == geteuid())) return fd;
  close(fd);
  errno = EPERM;
  return -1;
}

bool RenameIn(int folder, const char* from, const char* to) {
  return renameat(folder, from, folder, to) == 0;
}

void RemoveFileIn(int folder, const char* name) { unlinkat(folder, name, 0); }

std::string UserNumber() { return std::to_string(geteuid()); }

std::string ProcessNumber() { return std::to_string(getpid()); }

int64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::string BootId() {
  const int fd = OpenForReading("/proc/sys/kernel/random/boot_id", true);
  if (fd < 0) return "";
  char text[64];
  const long count = ReadSome(fd, text, sizeof text);
  close(fd);
  std::string id(text, static_cast<size_t>(std::max(count, 0L)));
  while (!id.empty() && id.back() == '\n') id.pop_back();
  return id;
}

namespace {

uint64_t PageSize() {
  static const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

MappedView MapFile(int fd, uint64_t offset, size_t size, bool writable, size_t& lead) {
  const uint64_t page = PageSize();
  const uint64_t start = offset / page * page;
  lead = static_cast<size_t>(offset - start);
  const size_t length = lead + size;
  void* base = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_PRIVATE, fd,
                    static_cast<off_t>(start));
  if (base == MAP_FAILED) return {};
  return {base, length};
}

MappedView MapMemory(size_t size) {
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return {};
  return {base, size};
}

void UnmapView(const MappedView& view) {
  if (view.base != nullptr) munmap(view.base, view.length);
}

void ForgetPages(void* begin, size_t size) {
  const auto page = static_cast<uintptr_t>(PageSize());
  const auto start = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t first = (start + page - 1) / page * page;
  const uintptr_t end = (start + size) / page * page;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

namespace {

// The LC_TIME locale setlocale(LC_TIME, "") would choose, by POSIX's order of the variables.
std::string_view RequestedTimeLocale() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

// C.UTF-8's month names are C's, so loading it (its files, and gconv's cache for the character
// set) would change nothing but the time a run takes.
bool NamesLikeC(std::string_view locale) {
  return locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

}  // namespace

void LoadLocalTimeSettings() {
  if (!NamesLikeC(RequestedTimeLocale())) setlocale(LC_TIME, "");
  tzset();
}

std::tm LocalTime(std::time_t moment) {
  std::tm local{};
  localtime_r(&moment, &local);
  return local;
}

SharedLibrary::SharedLibrary(const char* name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* SharedLibrary::Symbol(const char* symbol) const { return dlsym(handle_, symbol); }

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    // Read-only: writes to a stream that was closed then fail with EBADF, as they would have.
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDONLY);  // takes the lowest free number: fd
  }
  signal(SIGPIPE, SIG_IGN);
}

std::string SystemTemporaryFolder() { return "/tmp"; }

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string AbbreviatedMonthName(int month) {
  std::tm moment{};
  moment.tm_mon = month;
  char name[64];
  const size_t length = std::strftime(name, sizeof name, "%b", &moment);
  std::string bytes(name, length);
  // The name is in the character set of the LC_TIME locale, which LC_CTYPE (left as "C") does not
  // tell: ask a locale of that name for its set.
  const char* time_locale = setlocale(LC_TIME, nullptr);
  locale_t named = time_locale != nullptr ? newlocale(LC_CTYPE_MASK, time_locale, nullptr) : nullptr;
  if (named == nullptr) return bytes;
  const std::string codeset = nl_langinfo_l(CODESET, named);
  freelocale(named);
  if (codeset == "UTF-8" || codeset == "ANSI_X3.4-1968") return bytes;
  iconv_t convert = iconv_open("UTF-8", codeset.c_str());
  if (convert == reinterpret_cast<iconv_t>(-1)) return bytes;
  char converted[256];
  char* in = bytes.data();
  size_t in_left = bytes.size();
  char* out = converted;
  size_t out_left = sizeof converted;
  const bool whole =
      iconv(convert, &in, &in_left, &out, &out_left) != static_cast<size_t>(-1) && in_left == 0;
  iconv_close(convert);
  // Bytes that do not convert are kept: the caption reads what is not UTF-8 as Latin-1.
  return whole ? std::string(converted, sizeof converted - out_left) : bytes;
}
