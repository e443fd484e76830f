#include "tests/support/jpeg_decode.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  info->err->format_message(info, manager->message);
  std::longjmp(manager->jump, 1);
}

}  // namespace

uint32_t DecodedJpeg::At(int x, int y) const {
  size_t offset = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  return (uint32_t{rgb[offset]} << 16) | (uint32_t{rgb[offset + 1]} << 8) | rgb[offset + 2];
}

DecodedJpeg DecodeJpeg(const std::string& bytes) {
  DecodedJpeg result;
  jpeg_decompress_struct info{};
  ErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  if (setjmp(errors.jump) != 0) {
    result.ok = false;
    result.error = errors.message;
    jpeg_destroy_decompress(&info);
    return result;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  result.width = static_cast<int>(info.output_width);
  result.height = static_cast<int>(info.output_height);
  result.components = info.num_components;
  result.progressive = info.progressive_mode != 0;
  result.rgb.resize(static_cast<size_t>(result.width) * static_cast<size_t>(result.height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        result.rgb.data() + static_cast<size_t>(info.output_scanline) * static_cast<size_t>(result.width) * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  result.ok = true;
  return result;
}

bool ColoursNear(uint32_t a, uint32_t b, int tolerance) {
  for (int shift : {16, 8, 0}) {
    int difference = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(difference) > tolerance) return false;
  }
  return true;
}
