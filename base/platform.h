#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// What stillcam takes from the operating system beyond standard C++, in one place. One
// implementation file per system (platform_posix.cpp here), chosen by the build; callers never test
// for the system themselves. Failures return false, -1 or an empty value with errno set.

// Descriptors. Opened close-on-exec and non-blocking where that matters (a FIFO or device named by
// mistake fails at once); never_follow refuses a symlink as the last component.
int OpenForReading(const char* path, bool never_follow);
// Creates the file with mode 0600 when absent, else opens it as it is; never through a symlink.
int OpenForRewriting(const char* path);
int CloseDescriptor(int fd);
// read(): at most size bytes, -1 only for a real failure (EINTR is retried).
long ReadSome(int fd, void* into, size_t size);
// pread(): at most size bytes at offset, -1 only for a real failure (EINTR is retried).
long ReadSomeAt(int fd, void* into, size_t size, uint64_t offset);
// Cuts the file where the position stands.
bool CutAtPosition(int fd);
// Writes all of size bytes, through short counts and EINTR.
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

// Reads the time zone from the process's environment; LocalTime uses it from then on.
void LoadTimeZone();
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
