// libFuzzer target: a camera's Motion-JPEG frame through the capture's decoder. The first four bytes
// are the stream's width and height (16 bits each, little-endian, at most 1024); the rest is the frame.
// A frame is either refused with a reason or decoded into exactly width x height pixels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/mjpeg_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t width = (data[0] | data[1] << 8) % 1025;
  const uint32_t height = (data[2] | data[3] << 8) % 1025;
  std::vector<uint8_t> rows;
  std::string why;
  if (DecodeMjpegFrame(data + 4, size - 4, width, height, rows, why)) {
    if (rows.size() != size_t{width} * height * 3) std::abort();
  } else if (why.empty()) {
    std::abort();
  }
  return 0;
}
