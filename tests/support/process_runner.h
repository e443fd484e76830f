#pragma once

#include <string>
#include <vector>

struct ProcessResult {
  std::string out;  // stdout, as bytes
  std::string err;
  int exit_status = -1;  // -1 when the process died of a signal
  int term_signal = 0;
};

// Runs program with exactly the given arguments and environment ("NAME=value"), as a web server
// runs a CGI program: nothing inherited, stdin empty, stdout and stderr captured.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env);

// Runs the built stillcam with the given environment, adding TMPDIR only if env has none.
ProcessResult RunStillcam(const std::vector<std::string>& env, const std::vector<std::string>& args = {});

// A fresh empty folder under /tmp, removed with its content when the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::vector<std::string> Entries() const;  // names of what is inside

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
