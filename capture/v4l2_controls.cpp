#include "capture/v4l2_controls.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

constexpr int kMostControls = 1024;  // a driver that keeps answering is not followed further

// Every control the device offers, by name; the first of a name wins, as v4l2-ctl would set it.
std::map<std::string, v4l2_queryctrl> OfferedControls(const V4l2Io& io, int fd) {
  std::map<std::string, v4l2_queryctrl> offered;
  v4l2_queryctrl query{};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  for (int count = 0; count < kMostControls && io.Request(fd, VIDIOC_QUERYCTRL, &query); ++count) {
    if (query.type != V4L2_CTRL_TYPE_CTRL_CLASS && !(query.flags & V4L2_CTRL_FLAG_DISABLED)) {
      char label[sizeof query.name + 1] = {};
      std::memcpy(label, query.name, sizeof query.name);
      offered.emplace(V4l2ControlName(label), query);
    }
    query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  return offered;
}

// Why the device would not take the value, or "" once it has.
std::string Set(const V4l2Io& io, int fd, const v4l2_queryctrl& offered, int64_t value) {
  if (offered.flags & V4L2_CTRL_FLAG_READ_ONLY) return "read-only";
  const bool wide = offered.type == V4L2_CTRL_TYPE_INTEGER64;
  // Drivers clamp an integer out of range without a word; the administrator should hear of it.
  if (!wide && (value < offered.minimum || value > offered.maximum))
    return std::to_string(value) + " is outside " + std::to_string(offered.minimum) + " to " +
           std::to_string(offered.maximum);
  v4l2_ext_control control{};
  control.id = offered.id;
  if (wide) {
    control.value64 = value;
  } else {
    control.value = static_cast<int32_t>(value);
  }
  v4l2_ext_controls request{};
  request.which = V4L2_CTRL_ID2WHICH(offered.id);
  request.count = 1;
  request.controls = &control;
  if (!io.Request(fd, VIDIOC_S_EXT_CTRLS, &request))
    return std::to_string(value) + " refused: " + std::strerror(errno);
  return "";
}

}  // namespace

std::string V4l2ControlName(const char* label) {
  std::string name;
  bool gap = false;
  for (const char* c = label; *c != '\0'; ++c) {
    const char lower = *c >= 'A' && *c <= 'Z' ? static_cast<char>(*c - 'A' + 'a') : *c;
    if (!((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9'))) {
      gap = !name.empty();
      continue;
    }
    if (gap) name += '_';
    gap = false;
    name += lower;
  }
  return name;
}

void ApplyCameraControls(const V4l2Io& io, int fd, const std::vector<CameraControl>& controls,
                         const std::function<void(const std::string&)>& report) {
  if (controls.empty()) return;
  const std::map<std::string, v4l2_queryctrl> offered = OfferedControls(io, fd);
  for (const CameraControl& control : controls) {
    auto found = offered.find(control.name);
    const std::string why = found == offered.end() ? "the camera has no control of that name"
                                                   : Set(io, fd, found->second, control.value);
    if (!why.empty()) report("control " + control.name + ": " + why);
  }
}
