#pragma once

#include <string>
#include <vector>

#include "capture/v4l2_io.h"

// The V4L2 nodes in device_folder that capture video (output, metadata, VBI and radio nodes are
// left out), as paths in the numeric order of their names: video0, video1, ..., video10. Stops
// after the first `wanted`, since every node looked at is opened.
std::vector<std::string> ListVideoCaptureNodes(const V4l2Io& io, const std::string& device_folder,
                                               size_t wanted);
