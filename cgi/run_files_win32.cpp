// The run's files on Windows: unique names in the temporary folder. The frame file is a plain file,
// since the capture driver writes it by name and with sharing of its own choosing; it is removed when
// the run ends and when the console is told to close. The picture file, which only stillcam opens, is
// held open delete-on-close from the start: the system removes it when the process ends, however it
// ends.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "cgi/run_files.h"

namespace {

// The console control handler reaches the live run only through this; set and cleared by RunFiles.
std::atomic<const RunFiles*> g_live_files{nullptr};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Creates a new file of a name nobody has (CREATE_NEW never reuses an existing one) and returns its
// handle, or throws.
HANDLE MakeUniqueFile(char (&path)[PATH_MAX], const char* tmpdir, const char* suffix, DWORD flags) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const unsigned long long ticks = GetTickCount64();
    int length = std::snprintf(path, sizeof path, "%s\\stillcam-%lu-%llx-%u%s", tmpdir, GetCurrentProcessId(),
                               ticks, attempt, suffix);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
      path[0] = '\0';
      throw std::system_error(ENAMETOOLONG, std::generic_category(), "temporary folder");
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  const DWORD error = GetLastError();
  path[0] = '\0';
  throw std::system_error(static_cast<int>(error), std::system_category(), tmpdir);
}

void RemoveIfPresent(const char* path) {
  if (path[0] != '\0') DeleteFileA(path);  // a failed removal is not worth failing the request for
}

BOOL WINAPI RemoveLiveFilesOnClose(DWORD /*event*/) {
  if (const RunFiles* files = g_live_files.load()) RemoveIfPresent(files->frame_path());
  return FALSE;  // the process ends as it would have
}

}  // namespace

RunFiles::RunFiles(const char* tmpdir) {
  CloseHandle(MakeUniqueFile(frame_path_, tmpdir, ".bmp", 0));
  g_live_files = this;
  try {
    HANDLE picture = MakeUniqueFile(picture_path_, tmpdir, ".jpg", FILE_FLAG_DELETE_ON_CLOSE);
    held_fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(picture), _O_RDONLY | _O_NOINHERIT);
    if (held_fd_ < 0) {
      CloseHandle(picture);
      throw std::system_error(EMFILE, std::generic_category(), "picture file");
    }
  } catch (...) {
    g_live_files = nullptr;
    RemoveIfPresent(frame_path_);
    throw;
  }
}

RunFiles::~RunFiles() {
  RemoveIfPresent(frame_path_);
  _close(held_fd_);  // the last handle of the picture file: the system removes it
  g_live_files = nullptr;
}

void RemoveRunFilesOnTermination() { SetConsoleCtrlHandler(RemoveLiveFilesOnClose, TRUE); }
