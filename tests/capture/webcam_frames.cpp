#include "tests/capture/webcam_frames.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// clang-format off: jpeglib.h uses size_t and FILE without declaring them
#include <jpeglib.h>
// clang-format on

Bytes QuadrantRgb(int width, int height) {
  Bytes rgb;
  rgb.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint32_t colour = kQuadrantColours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
      rgb.insert(rgb.end(), {static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                             static_cast<uint8_t>(colour)});
    }
  return rgb;
}

namespace {

uint8_t Clamp(double value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value + 0.5); }

}  // namespace

Bytes Yuyv(const Bytes& rgb) {
  Bytes yuyv;
  yuyv.reserve(rgb.size() / 3 * 2);
  for (size_t pixel = 0; pixel + 6 <= rgb.size(); pixel += 6) {
    double y[2], u = 0, v = 0;
    for (int i = 0; i < 2; ++i) {
      const double r = rgb[pixel + 3 * i], g = rgb[pixel + 3 * i + 1], b = rgb[pixel + 3 * i + 2];
      y[i] = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255;
      u += (128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255) / 2;
      v += (128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255) / 2;
    }
    yuyv.insert(yuyv.end(), {Clamp(y[0]), Clamp(u), Clamp(y[1]), Clamp(v)});
  }
  return yuyv;
}

Bytes WebcamJpeg(const Bytes& rgb, int width, int height) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);  // a failure ends the process, which is right for a test tool
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&info, &out, &out_size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 85, TRUE);
  info.write_JFIF_header = FALSE;
  info.comp_info[0].h_samp_factor = 2;
  info.comp_info[0].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&rgb[size_t{info.next_scanline} * static_cast<size_t>(width) * 3]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes jpeg(out, out + out_size);
  std::free(out);
  return jpeg;
}

Bytes WithoutHuffmanTables(const Bytes& jpeg) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);  // SOI
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {  // up to the scan
    const size_t length = 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] != 0xC4)
      out.insert(out.end(), jpeg.begin() + static_cast<long>(at),
                 jpeg.begin() + static_cast<long>(at + length));
    at += length;
  }
  out.insert(out.end(), jpeg.begin() + static_cast<long>(at), jpeg.end());
  return out;
}
