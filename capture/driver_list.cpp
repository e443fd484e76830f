#include "capture/driver_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The number N of a name "videoN", or -1 for any other name.
long VideoNodeNumber(const char* name) {
  if (std::strncmp(name, "video", 5) != 0) return -1;
  const char* digits = name + 5;
  if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits) || std::strlen(digits) > 6)
    return -1;
  return std::strtol(digits, nullptr, 10);
}

bool CapturesVideo(const V4l2Io& io, const std::string& path) {
  int fd = io.Open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  v4l2_capability capability{};
  const bool answered = io.Request(fd, VIDIOC_QUERYCAP, &capability);
  io.Close(fd);
  if (!answered) return false;
  uint32_t caps =
      capability.capabilities & V4L2_CAP_DEVICE_CAPS ? capability.device_caps : capability.capabilities;
  return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

}  // namespace

std::vector<std::string> ListVideoCaptureNodes(const V4l2Io& io, const std::string& device_folder,
                                               size_t wanted) {
  std::vector<std::pair<long, std::string>> numbered;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(device_folder.c_str()), closedir);
  if (!folder) return {};
  while (const dirent* entry = readdir(folder.get())) {
    long number = VideoNodeNumber(entry->d_name);
    if (number >= 0) numbered.emplace_back(number, entry->d_name);
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::string> nodes;
  for (const auto& [number, name] : numbered) {
    if (nodes.size() == wanted) break;
    std::string path = device_folder + "/" + name;
    if (CapturesVideo(io, path)) nodes.push_back(std::move(path));
  }
  return nodes;
}
