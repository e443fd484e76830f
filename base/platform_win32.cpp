// The platform layer on Windows. Descriptors are the C runtime's, each over a Win32 file handle, so
// that the code above keeps one kind of file handle on every system; what the runtime lacks (views of
// files, positioned reads, cutting a file) is done on the handle beneath.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#include "base/platform.h"

namespace {

// errno for the last Win32 error, for the few that callers tell apart.
int ErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A descriptor over a handle; the handle is closed when that fails.
int Adopt(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoFromLastError();
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

// Every file is shared for reading, writing and deletion: a run's files are its own by their names,
// and a reader must never keep the run from removing them.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

// Windows symlinks need a privilege a web server's account does not have; never_follow has nothing
// to guard against there.
int OpenForReading(const char* path, bool /*never_follow*/) {
  return Adopt(
      CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
      _O_RDONLY);
}

int OpenForRewriting(const char* path) {
  return Adopt(
      CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
      _O_WRONLY);
}

int CloseDescriptor(int fd) { return _close(fd); }

long ReadSome(int fd, void* into, size_t size) {
  return _read(fd, into, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
}

long ReadSomeAt(int fd, void* into, size_t size, uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(HandleOf(fd), into, static_cast<DWORD>(std::min<size_t>(size, MAXDWORD)), &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    errno = ErrnoFromLastError();
    return -1;
  }
  return static_cast<long>(got);
}

bool CutAtPosition(int fd) {
  if (SetEndOfFile(HandleOf(fd))) return true;
  errno = ErrnoFromLastError();
  return false;
}

bool WriteAllBytes(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    int written = _write(fd, bytes, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteAllPieces(int fd, BytePiece* pieces, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!WriteAllBytes(fd, pieces[i].data, pieces[i].size)) return false;
    pieces[i].size = 0;
  }
  return true;
}

bool IsReadable(const char* path) { return _access(path, 4) == 0; }

bool ReadFileFacts(int fd, FileFacts& facts) {
  HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  facts.regular = GetFileType(handle) == FILE_TYPE_DISK;
  facts.size = 0;
  LARGE_INTEGER size = {};
  if (facts.regular && GetFileSizeEx(handle, &size)) facts.size = static_cast<uint64_t>(size.QuadPart);
  return true;
}

MappedView MapFile(int fd, uint64_t offset, size_t size, bool writable, size_t& lead) {
  SYSTEM_INFO system = {};
  GetSystemInfo(&system);
  const uint64_t granularity = system.dwAllocationGranularity;  // views start at multiples of it
  const uint64_t start = offset / granularity * granularity;
  lead = static_cast<size_t>(offset - start);
  const size_t length = lead + size;
  // A copy-on-write view of a file opened for reading: the pages written are the process's own.
  HANDLE mapping =
      CreateFileMappingA(HandleOf(fd), nullptr, writable ? PAGE_WRITECOPY : PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    errno = ErrnoFromLastError();
    return {};
  }
  void* base = MapViewOfFile(mapping, writable ? FILE_MAP_COPY : FILE_MAP_READ,
                             static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), length);
  if (base == nullptr) errno = ErrnoFromLastError();
  CloseHandle(mapping);  // the view keeps the mapping alive
  if (base == nullptr) return {};
  return {base, length};
}

MappedView MapMemory(size_t size) {
  // A view of fresh paging-file memory, so that one call (UnmapViewOfFile) releases every kind of view.
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(static_cast<uint64_t>(size) >> 32),
                                      static_cast<DWORD>(size), nullptr);
  if (mapping == nullptr) {
    errno = ENOMEM;
    return {};
  }
  void* base = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
  CloseHandle(mapping);
  if (base == nullptr) {
    errno = ENOMEM;
    return {};
  }
  return {base, size};
}

void UnmapView(const MappedView& view) {
  if (view.base != nullptr) UnmapViewOfFile(view.base);
}

void ForgetPages(void* /*begin*/, size_t /*size*/) {}

// The system's own time zone and the user's locale, which the Windows API applies by itself.
void LoadLocalTimeSettings() {}

std::tm LocalTime(std::time_t moment) {
  // time_t counts seconds from 1970; FILETIME counts 100 ns from 1601.
  constexpr int64_t kEpochDifference = 11644473600LL;
  const uint64_t ticks = static_cast<uint64_t>(static_cast<int64_t>(moment) + kEpochDifference) * 10000000ULL;
  FILETIME universal = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc = {};
  SYSTEMTIME local = {};
  std::tm result{};
  if (!FileTimeToSystemTime(&universal, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return result;
  result.tm_year = local.wYear - 1900;
  result.tm_mon = local.wMonth - 1;
  result.tm_mday = local.wDay;
  result.tm_hour = local.wHour;
  result.tm_min = local.wMinute;
  result.tm_sec = local.wSecond;
  result.tm_wday = local.wDayOfWeek;
  static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const bool leap = (local.wYear % 4 == 0 && local.wYear % 100 != 0) || local.wYear % 400 == 0;
  result.tm_yday = kDaysBefore[result.tm_mon] + local.wDay - 1 + (leap && result.tm_mon > 1 ? 1 : 0);
  result.tm_isdst = -1;
  return result;
}

SharedLibrary::SharedLibrary(const char* name) : handle_(reinterpret_cast<void*>(LoadLibraryA(name))) {}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::Symbol(const char* symbol) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), symbol));
}

void PrepareProcess() {
  // A server has nobody to click away a dialog box: failures are reported to the program instead.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    // Read-only, as on POSIX: writes to a stream that was closed fail as they would have.
    int null_fd = _open("NUL", _O_RDONLY | _O_BINARY);
    if (null_fd >= 0 && null_fd != fd) {
      _dup2(null_fd, fd);
      _close(null_fd);
    }
  }
  // The response is bytes: no line-end translation, and 0x1A is not the end of anything.
  _setmode(1, _O_BINARY);
}

std::string SystemTemporaryFolder() {
  char folder[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length >= sizeof folder) return ".";
  while (length > 1 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) --length;
  return std::string(folder, length);
}

std::optional<std::string> EnvironmentValue(const char* name) {
  std::string value(256, '\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size it needs, its terminating NUL included
  }
}

// Runs on Windows do not share pictures: there is no share folder, so nothing is kept or found, quietly.
int OpenPrivateFolder(const char* /*path*/, bool /*make*/, std::string& /*why*/) {
  errno = ENOSYS;
  return -1;
}

int CreateFileIn(int /*folder*/, const char* /*name*/) {
  errno = ENOSYS;
  return -1;
}

int OpenOwnFileIn(int /*folder*/, const char* /*name*/) {
  errno = ENOSYS;
  return -1;
}

bool RenameIn(int /*folder*/, const char* /*from*/, const char* /*to*/) {
  errno = ENOSYS;
  return false;
}

void RemoveFileIn(int /*folder*/, const char* /*name*/) {}

std::string UserNumber() {
  char name[257] = {};
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string("user");
}

std::string ProcessNumber() { return std::to_string(GetCurrentProcessId()); }

int64_t MonotonicNanoseconds() {
  LARGE_INTEGER ticks = {};
  LARGE_INTEGER frequency = {};
  QueryPerformanceCounter(&ticks);
  QueryPerformanceFrequency(&frequency);
  const int64_t per_second = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  return ticks.QuadPart / per_second * 1000000000 + ticks.QuadPart % per_second * 1000000000 / per_second;
}

std::string BootId() { return ""; }

std::string AbbreviatedMonthName(int month) {
  if (month < 0 || month > 11) return "";
  wchar_t wide[80] = {};
  const int wide_length =
      GetLocaleInfoW(LOCALE_USER_DEFAULT, static_cast<LCTYPE>(LOCALE_SABBREVMONTHNAME1 + month), wide,
                     static_cast<int>(std::size(wide)));
  if (wide_length <= 1) return "";
  char utf8[256] = {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide, wide_length - 1, utf8, sizeof utf8, nullptr, nullptr);
  return std::string(utf8, length > 0 ? static_cast<size_t>(length) : 0);
}

namespace {

// The console control handler reaches the live frame file, the one run file with a name, only
// through this.
std::atomic<const char*> g_named_run_file{nullptr};

BOOL WINAPI RemoveNamedRunFileOnClose(DWORD /*event*/) {
  if (const char* path = g_named_run_file.load()) DeleteFileA(path);
  return FALSE;  // the process ends as it would have
}

// Creates a file of a name nobody has (CREATE_NEW never reuses an existing one) and returns its
// handle, or throws.
HANDLE MakeUniqueFile(std::string& path, const char* folder, const char* suffix, DWORD flags) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    path = std::string(folder) + "\\stillcam-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount64()) + "-" + std::to_string(attempt) + suffix;
    if (path.size() >= MAX_PATH)
      throw std::system_error(ENAMETOOLONG, std::generic_category(), "temporary folder");
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  const DWORD error = GetLastError();
  path.clear();
  throw std::system_error(static_cast<int>(error), std::system_category(), folder);
}

}  // namespace

RunFile::RunFile(const char* folder, const char* suffix, Access access) {
  if (access == Access::kWrittenByName) {
    // The capture driver opens it by name with sharing of its own choosing: a plain file.
    CloseHandle(MakeUniqueFile(path_, folder, suffix, 0));
    static const bool handler = SetConsoleCtrlHandler(RemoveNamedRunFileOnClose, TRUE) != 0;
    (void)handler;
    g_named_run_file = path_.c_str();
    return;
  }
  // Only we open it: held delete-on-close, so the system removes it however the process ends.
  HANDLE file = MakeUniqueFile(path_, folder, suffix, FILE_FLAG_DELETE_ON_CLOSE);
  fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_NOINHERIT);
  if (fd_ < 0) {
    CloseHandle(file);
    throw std::system_error(EMFILE, std::generic_category(), "run file");
  }
}

namespace {

void Release(int fd, const std::string& path) {
  if (fd >= 0) {
    _close(fd);  // the last handle of a delete-on-close file: the system removes it
  } else if (!path.empty()) {
    if (g_named_run_file.load() == path.c_str()) g_named_run_file = nullptr;
    DeleteFileA(path.c_str());  // a failed removal is not worth failing the request for
  }
}

}  // namespace

RunFile::~RunFile() { Release(fd_, path_); }

RunFile::RunFile(RunFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {
  other.path_.clear();
  if (fd_ < 0 && !path_.empty()) g_named_run_file = path_.c_str();
}

RunFile& RunFile::operator=(RunFile&& other) noexcept {
  if (this != &other) {
    Release(fd_, path_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    other.path_.clear();
    if (fd_ < 0 && !path_.empty()) g_named_run_file = path_.c_str();
  }
  return *this;
}
