#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/camera_control.h"
#include "imaging/frame_flip.h"

// What the administrator set for stillcam in the web server's environment: read once, in main(), and
// passed down; each layer gets the part it needs as a plain value. Unset or empty variables give the
// defaults. A value that is set but cannot be used gives one warning and the default as well.
struct Settings {
  std::string temporary_folder = "/tmp";  // TMPDIR, else the system's (/tmp; Windows: GetTempPath)
  std::optional<std::string> device;      // STILLCAM_DEVICE: what stands at capture driver 1
  int skip_frames = 5;                    // STILLCAM_SKIP_FRAMES: a whole number from 0 to 100
  bool verbose = false;                   // STILLCAM_VERBOSE: 1 or 0
  std::string font;                       // STILLCAM_FONT, a TrueType file; empty: the default font
  std::string bold_font;                  // STILLCAM_BOLD_FONT; empty: the regular font, emboldened
  bool share = true;  // STILLCAM_SHARE: 1 or 0; requests that wait for the camera share its picture
  std::vector<CameraControl> camera_controls;  // STILLCAM_CONTROLS: name=value,... applied in this order
  FrameFlip flip = FrameFlip::kNone;           // STILLCAM_FLIP: h, v or hv
};

// A variable's value, or nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// Reads every setting. Each value that cannot be used adds one line to warnings, such as
// `STILLCAM_SKIP_FRAMES=1000 ignored: not a whole number from 0 to 100; using 5`.
Settings ReadSettings(const EnvironmentLookup& variable, std::vector<std::string>& warnings);
