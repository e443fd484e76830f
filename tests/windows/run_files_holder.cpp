// Test helper: makes a run's files in the folder HOLDER_FOLDER names, prints their paths, and waits
// to be ended by force.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/platform.h"
#include "cgi/run_files.h"

int main() {
  const std::string folder = EnvironmentValue("HOLDER_FOLDER").value_or(".");
  RunFiles files(folder.c_str());
  std::printf("%s\n%s\n", files.frame_path(), files.picture_path());
  std::fflush(stdout);
  Sleep(INFINITE);
}
