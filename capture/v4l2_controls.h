#pragma once

#include <functional>
#include <string>
#include <vector>

#include "capture/camera_control.h"
#include "capture/v4l2_io.h"

// The name v4l2-ctl gives a control: its label in lower case, each run of other characters one
// underscore, none at either end ("White Balance, Automatic" is white_balance_automatic).
std::string V4l2ControlName(const char* label);

// Sets the controls on an opened device, in order. A control the device does not have, or a value
// it does not take, gives one line "control NAME: WHY" to report, and the rest still go on: a
// misconfigured control must not cost the picture.
void ApplyCameraControls(const V4l2Io& io, int fd, const std::vector<CameraControl>& controls,
                         const std::function<void(const std::string&)>& report);
