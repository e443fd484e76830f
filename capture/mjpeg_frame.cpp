#include "capture/mjpeg_frame.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// clang-format off: jpeglib.h uses size_t and FILE without declaring them
#include <jpeglib.h>
// clang-format on

namespace {

struct Refusal {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void Refuse(j_common_ptr info) { std::longjmp(reinterpret_cast<Refusal*>(info->err)->jump, 1); }

// Level -1 is a warning: corrupt data or a premature end, where libjpeg would go on with made-up data.
// Higher levels are trace messages.
void RefuseWarnings(j_common_ptr info, int level) {
  if (level < 0) Refuse(info);
}

// The decompression object, destroyed on every path, the jump out of a refusal included.
class Decompression {
 public:
  explicit Decompression(Refusal& refusal) {
    info_.err = jpeg_std_error(&refusal.base);
    refusal.base.error_exit = Refuse;
    refusal.base.emit_message = RefuseWarnings;
    jpeg_create_decompress(&info_);
  }
  ~Decompression() { jpeg_destroy_decompress(&info_); }
  Decompression(const Decompression&) = delete;
  Decompression& operator=(const Decompression&) = delete;
  jpeg_decompress_struct* operator->() { return &info_; }
  jpeg_decompress_struct* get() { return &info_; }

 private:
  jpeg_decompress_struct info_{};
};

}  // namespace

bool DecodeMjpegFrame(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                      std::vector<uint8_t>& rows, std::string& why, unsigned reduction) {
  Refusal refusal{};
  Decompression info(refusal);
  if (setjmp(refusal.jump) != 0) {
    char message[JMSG_LENGTH_MAX];
    refusal.base.format_message(reinterpret_cast<j_common_ptr>(info.get()), message);
    why = std::string("damaged frame: ") + message;
    return false;
  }
  jpeg_mem_src(info.get(), data, static_cast<unsigned long>(size));
  jpeg_read_header(info.get(), TRUE);
  if (info->image_width != width || info->image_height != height) {
    why = "a frame of " + std::to_string(info->image_width) + "x" + std::to_string(info->image_height) +
          " in a stream of " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  info->out_color_space = JCS_EXT_BGR;
  info->scale_num = 1;
  info->scale_denom = reduction;
  jpeg_start_decompress(info.get());
  const size_t row_bytes = size_t{info->output_width} * 3;
  rows.resize(row_bytes * info->output_height);
  while (info->output_scanline < info->output_height) {
    JSAMPROW row = rows.data() + row_bytes * info->output_scanline;
    jpeg_read_scanlines(info.get(), &row, 1);
  }
  // Reads on to the end marker, so that damage in the last part of the data is seen too. Cameras pad
  // frames after it; what follows the marker is not looked at.
  jpeg_finish_decompress(info.get());
  return true;
}
