#pragma once

#include <cstdint>
#include <string>

// A camera control the administrator sets before each capture, by the name v4l2-ctl --list-ctrls
// prints for it (brightness, white_balance_automatic, ...); a menu control takes its item's number.
struct CameraControl {
  std::string name;
  int64_t value = 0;

  bool operator==(const CameraControl&) const = default;
};
