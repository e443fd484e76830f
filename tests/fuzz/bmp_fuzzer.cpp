// libFuzzer target: the frame loader on arbitrary bytes, and the encoder on what it accepts. A frame
// the loader accepts must be whole (every pixel readable) and must encode or be refused with a
// message; memory errors in either are findings.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FrameBitmap frame;
  try {
    frame = ParseFrameBitmap(data, size);
  } catch (const std::exception&) {
    return 0;  // refused with a message: the designed way
  }
  if (frame.width() < 0 || frame.height() < 0) std::abort();
  if (frame.empty()) return 0;
  // Reading every pixel lets AddressSanitizer see any row or palette index outside the buffers.
  uint32_t sink = 0;
  for (int32_t y = 0; y < frame.height(); ++y) {
    for (int32_t x = 0; x < frame.width(); ++x) sink ^= frame.RgbAt(x, y);
  }
  volatile uint32_t keep = sink;
  (void)keep;
  // Small frames only, so that the fuzzer keeps its pace; the row conversions are the same at any size.
  if (uint64_t{static_cast<uint32_t>(frame.width())} * static_cast<uint32_t>(frame.height()) <= 65536) {
    static const std::string picture = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                                       "/stillcam-fuzz-" + std::to_string(getpid()) + ".jpg";
    try {
      EncodeJpegFile(frame, picture.c_str());
    } catch (const std::exception&) {
      // e.g. a width beyond JPEG's limit: refused with a message
    }
  }
  return 0;
}
