// Systems without the share folder's checks: every request captures its own frame.
#include <chrono>

#include "cgi/picture_share.h"

int64_t ShareClockNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string DefaultShareFolder(const std::string& temporary_folder) { return temporary_folder; }

PictureShare::PictureShare(std::string folder, bool verbose)
    : folder_path_(std::move(folder)), verbose_(verbose), problem_("not available on this system") {}

void PictureShare::Report(const std::string&) const {}

bool PictureShare::OpenFolder(bool) { return false; }

void PictureShare::Publish(const std::string&, int64_t, int) {}

UniqueFd PictureShare::Find(const std::string&, int64_t) { return UniqueFd(); }
