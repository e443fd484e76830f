#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// What stillcam takes from the operating system beyond standard C++, in one place. One
// implementation file per system (platform_posix.cpp here), chosen by the build; callers never test
// for the system themselves. Failures return false, -1 or an empty value with errno set.

// A file of the run's own in a folder that no way of ending the process can leave behind. On POSIX
// systems it never has a name there: O_TMPFILE where the file system supports it, otherwise a fresh
// name (mode 0600, O_EXCL) unlinked at once; the system frees it with the last descriptor, so a
// SIGKILL leaves nothing, and no name exists to be raced or replaced. path() names it for this
// process alone (/proc/self/fd/N), for the calls that take a path; OpenForReading and
// OpenForRewriting reach it through a copy of the descriptor, so /proc need not be mounted. On
// Windows a file only we open is held delete-on-close; one that another component writes by name
// (the capture driver's frame file) is a plain file under a fresh name, removed when the object goes
// or the console closes.
class RunFile {
 public:
  enum class Access { kOursAlone, kWrittenByName };
  RunFile() = default;
  // Makes the file in folder; suffix is the extension a system that must name it gives the name.
  // Throws std::system_error naming the folder when it cannot be made there (missing, unwritable,
  // full, read-only).
  RunFile(const char* folder, const char* suffix, Access access = Access::kOursAlone);
  ~RunFile();
  RunFile(RunFile&& other) noexcept;
  RunFile& operator=(RunFile&& other) noexcept;
  RunFile(const RunFile&) = delete;
  RunFile& operator=(const RunFile&) = delete;

  int fd() const { return fd_; }
  const char* path() const { return path_.c_str(); }

 private:
  int fd_ = -1;
  std::string path_;
};

// Descriptors. Opened close-on-exec and non-blocking where that matters (a FIFO or device named by
// mistake fails at once); never_follow refuses a symlink as the last component.
int OpenForReading(const char* path, bool never_follow);
// Creates the file with mode 0600 when absent, else opens it as it is. Links are followed. A run
// file's path() gives, for either, a copy of its descriptor set to the file's beginning.
int OpenForRewriting(const char* path);
int CloseDescriptor(int fd);
// read(): at most size bytes, -1 only for a real failure (EINTR is retried).
long ReadSome(int fd, void* into, size_t size);
// pread(): at most size bytes at offset, -1 only for a real failure (EINTR is retried).
long ReadSomeAt(int fd, void* into, size_t size, uint64_t offset);
// Cuts the file where the position stands.
bool CutAtPosition(int fd);
// Writes all of size bytes, through short counts and EINTR; a non-blocking descriptor that is full
// is waited for.
bool WriteAllBytes(int fd, const void* data, size_t size);
// The same for a list of pieces, in as few calls as the system allows; the pieces are consumed.
struct BytePiece {
  const void* data;
  size_t size;
};
bool WriteAllPieces(int fd, BytePiece* pieces, size_t count);
// True when the path names something this process may read.
bool IsReadable(const char* path);

struct FileFacts {
  bool regular = false;
  uint64_t size = 0;
};
bool ReadFileFacts(int fd, FileFacts& facts);

// Folders of this process's user alone, for what runs keep between them. OpenPrivateFolder opens the
// folder at path, first making it with mode 0700 when make is set and it is missing, and checks what
// it opened: a real folder (a symlink is refused), owned by this user, that no other user may enter.
// Returns its descriptor, or -1 with why set; why stays empty for a missing folder not to be made.
int OpenPrivateFolder(const char* path, bool make, std::string& why);
// Inside such a folder: a new file of this user's alone, mode 0600 (never an existing one, never
// through a symlink; errno EEXIST when the name is taken); an existing regular file of this user,
// for reading (-1 for anything else); a rename that replaces whatever had the new name, in one step;
// a removal.
int CreateFileIn(int folder, const char* name);
int OpenOwnFileIn(int folder, const char* name);
bool RenameIn(int folder, const char* from, const char* to);
void RemoveFileIn(int folder, const char* name);
// This process's user and this process, as numbers in text.
std::string UserNumber();
std::string ProcessNumber();

// A clock every process of the machine shares and nobody sets, in nanoseconds: on Linux
// CLOCK_MONOTONIC, the clock of V4L2 buffer time stamps. It starts anew with each boot.
int64_t MonotonicNanoseconds();
// What tells this boot of the machine from the others; empty when it cannot be known.
std::string BootId();

// Memory views of files, released with UnmapView.
struct MappedView {
  void* base = nullptr;  // nullptr: no view
  size_t length = 0;
};
// A private view of size bytes at offset: writable ones are copy-on-write and never change the
// file. lead is set to the bytes before offset in the view (views start at page boundaries).
MappedView MapFile(int fd, uint64_t offset, size_t size, bool writable, size_t& lead);
// Fresh zeroed memory of its own, writable.
MappedView MapMemory(size_t size);
void UnmapView(const MappedView& view);
// Gives back the memory of the whole pages within [begin, begin + size) of a view, which the process
// will not read again: a private view of a file would read the file's bytes there, fresh memory
// zeros. Windows keeps them until the view goes.
void ForgetPages(void* begin, size_t size);

// A variable of the process environment (Windows: GetEnvironmentVariableA); nothing when it is not
// set.
std::optional<std::string> EnvironmentValue(const char* name);

// The system's folder for temporary files: /tmp on POSIX, GetTempPath on Windows; no trailing
// separator.
std::string SystemTemporaryFolder();

// The abbreviated name of month 0 to 11 in the language the process's locale (LC_TIME) asks for, in
// UTF-8 whatever that locale's character set; Windows takes it from the user's locale.
std::string AbbreviatedMonthName(int month);

// Takes the time zone and the LC_TIME locale from the process's environment; LocalTime and
// AbbreviatedMonthName use them from then on.
void LoadLocalTimeSettings();
// The local calendar time of a moment.
std::tm LocalTime(std::time_t moment);

// A shared library loaded at run time; empty when it cannot be loaded.
class SharedLibrary {
 public:
  explicit SharedLibrary(const char* name);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  template <typename Function>
  Function Get(const char* symbol) const {
    return reinterpret_cast<Function>(Symbol(symbol));
  }

 private:
  void* Symbol(const char* symbol) const;
  void* handle_;
};

// The process as a CGI program needs it before anything else: standard streams the server left
// closed are held by the null device (so that no file opened later becomes "stdout"), and a client
// that goes away makes writes fail instead of killing the process.
void PrepareProcess();
