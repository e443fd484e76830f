#include "tests/windows/win_process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// An environment block: this process's variables with the changes applied, each "NAME=value\0",
// ending with an empty string.
std::vector<char> EnvironmentBlock(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> variables;
  if (char* strings = GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
      const char* equals = std::strchr(entry + 1, '=');  // "=C:=C:\..." entries start with '='
      if (equals != nullptr) variables[std::string(entry, equals)] = equals + 1;
    }
    FreeEnvironmentStringsA(strings);
  }
  for (const auto& [name, value] : changes) {
    if (value.empty()) {
      variables.erase(name);
    } else {
      variables[name] = value;
    }
  }
  std::vector<char> block;
  for (const auto& [name, value] : variables) {
    std::string entry = name + "=" + value;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void Release() { handle_ = nullptr; }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

std::string ReadAll(HANDLE pipe) {
  std::string bytes;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(pipe, block, sizeof block, &got, nullptr) && got > 0) bytes.append(block, got);
  return bytes;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::map<std::string, std::string>& changes,
                         unsigned long timeout_ms, Reader reader) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  Handle out_read, out_write, err_read, err_write;
  if (!CreatePipe(out_read.out(), out_write.out(), &inheritable, 0) ||
      !CreatePipe(err_read.out(), err_write.out(), &inheritable, 0))
    return result;
  SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr));

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION process = {};
  std::string command_line = "\"" + program + "\"";
  std::vector<char> environment = EnvironmentBlock(changes);
  // Wine now and then refuses a process start while its server is busy with others (seen once in
  // some thousand starts): a refused start is tried again before it counts.
  bool created = false;
  for (int attempt = 0; attempt < 3 && !created; ++attempt) {
    if (attempt > 0) Sleep(200);
    created = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             environment.data(), nullptr, &startup, &process) != 0;
  }
  if (!created) return result;
  result.started = true;
  Handle process_handle(process.hProcess);
  Handle thread_handle(process.hThread);
  // Only the child holds the write ends now: the reads end when it does.
  out_write.Close();
  err_write.Close();
  if (reader == Reader::kGoesAway) out_read.Close();

  // Each pipe is read on a thread of its own, so that neither can fill up and stop the child, and a
  // child that does not end can be ended at the deadline.
  struct PipeReader {
    HANDLE pipe;
    std::string bytes;
  };
  auto out_reader = std::make_unique<PipeReader>(PipeReader{out_read.get(), {}});
  auto err_reader = std::make_unique<PipeReader>(PipeReader{err_read.get(), {}});
  auto read = [](void* argument) -> DWORD {
    auto* state = static_cast<PipeReader*>(argument);
    state->bytes = ReadAll(state->pipe);
    return 0;
  };
  Handle out_thread(reader == Reader::kStays ? CreateThread(nullptr, 0, read, out_reader.get(), 0, nullptr)
                                             : nullptr);
  Handle err_thread(CreateThread(nullptr, 0, read, err_reader.get(), 0, nullptr));
  result.finished = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
  if (!result.finished) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  // A pipe whose write end another process still holds would be read forever (Wine's desktop
  // process, when the child started it, inherits the child's handles): the readers get a few seconds
  // after the child ended, and readers still waiting then are left to it, the run reported as such.
  constexpr DWORD kGraceMs = 10000;
  const bool closed =
      (out_thread.get() == nullptr || WaitForSingleObject(out_thread.get(), kGraceMs) == WAIT_OBJECT_0) &&
      WaitForSingleObject(err_thread.get(), kGraceMs) == WAIT_OBJECT_0;
  if (!closed) {
    result.pipes_held = true;
    ADD_FAILURE() << program << " ended, but another process still holds its output pipes open";
    out_reader.release();  // still in use by its thread, which outlives this call
    err_reader.release();
    out_read.Release();
    err_read.Release();
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    return result;
  }
  result.output = std::move(out_reader->bytes);
  result.errors = std::move(err_reader->bytes);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  return result;
}

ScratchFolder::ScratchFolder() {
  char base[MAX_PATH + 1] = {};
  GetTempPathA(sizeof base, base);
  for (unsigned attempt = 0; path_.empty(); ++attempt) {
    std::string candidate = std::string(base) + "stillcam-test-" + std::to_string(GetCurrentProcessId()) +
                            "-" + std::to_string(GetTickCount64()) + "-" + std::to_string(attempt);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
    if (attempt > 100) throw std::runtime_error("no scratch folder in " + std::string(base));
  }
}

ScratchFolder::~ScratchFolder() {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      DeleteFileA((path_ + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path_.c_str());
}

std::string ScratchFolder::Listing() const {
  std::string names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path_ + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names += (names.empty() ? "" : " ") + name;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// Opened as stillcam opens its files, sharing deletion too: a run's picture file is held open
// delete-on-close, and an open that does not share deletion is refused.
std::string ReadWholeFile(const std::string& path) {
  Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot read " + path);
  return ReadAll(file.get());
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file.get() == INVALID_HANDLE_VALUE ||
      !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size())
    throw std::runtime_error("cannot write " + path);
}

std::string WindowsPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}
