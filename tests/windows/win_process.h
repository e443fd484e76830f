#pragma once

#include <map>
#include <string>

// What a program run as a web server runs a CGI program gave back.
struct ProcessResult {
  bool started = false;
  bool finished = false;    // false: still running at the deadline, and ended by force
  bool pipes_held = false;  // another process kept an output pipe open after the program ended
  unsigned long exit_code = 0;
  std::string output;  // standard output, byte for byte, through a pipe
  std::string errors;  // standard error
};

// Runs program with this process's environment changed by `changes` (an empty value removes the
// variable), standard input from NUL and both outputs through pipes; waits up to timeout_ms. A reader
// that goes away closes the standard output pipe before the program writes to it.
enum class Reader { kStays, kGoesAway };
ProcessResult RunProgram(const std::string& program, const std::map<std::string, std::string>& changes,
                         unsigned long timeout_ms = 60000, Reader reader = Reader::kStays);

// A fresh, empty folder in the system's temporary folder, removed with its files when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // The names of the files in it.
  std::string Listing() const;

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// A path of the build machine (/work/...) as a Windows program under Wine names it (Z:\work\...).
std::string WindowsPath(const std::string& unix_path);
