// Feeds a v4l2loopback device from its output side the way a USB webcam delivers frames: 640x480
// YUYV, or MJPEG with 4:2:2 sampling, optionally without Huffman tables or cut short.
//   loopback_producer DEVICE yuyv|mjpeg|mjpeg-no-dht|mjpeg-cut-alternate|mjpeg-cut
// It prints "ready" once the first frame is written, then writes one every 33 ms until it is killed.
// Built statically: the test guest has no C library for it.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "tests/capture/loopback_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "loopback_producer: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// The test frame as RGB rows from the top.
Bytes RgbFrame() {
  Bytes rgb(size_t{kLoopbackWidth} * kLoopbackHeight * 3);
  for (int y = 0; y < kLoopbackHeight; ++y)
    for (int x = 0; x < kLoopbackWidth; ++x) {
      const uint32_t colour = LoopbackQuadrantColour(x, y);
      uint8_t* pixel = &rgb[(size_t{static_cast<unsigned>(y)} * kLoopbackWidth + x) * 3];
      pixel[0] = colour >> 16 & 0xFF;
      pixel[1] = colour >> 8 & 0xFF;
      pixel[2] = colour & 0xFF;
    }
  return rgb;
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value + 0.5); }

// BT.601 with studio swing, as cameras send YUYV.
Bytes YuyvFrame(const Bytes& rgb) {
  Bytes yuyv;
  yuyv.reserve(rgb.size() / 3 * 2);
  for (size_t pixel = 0; pixel < rgb.size(); pixel += 6) {
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

// Baseline JPEG with the chroma halved horizontally only, and no JFIF marker: what UVC cameras send.
Bytes MjpegFrame(const Bytes& rgb) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);  // a failure ends the process, which is right for a test tool
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&info, &out, &out_size);
  info.image_width = kLoopbackWidth;
  info.image_height = kLoopbackHeight;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 85, TRUE);
  info.write_JFIF_header = FALSE;
  info.comp_info[0].h_samp_factor = 2;
  info.comp_info[0].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&rgb[size_t{info.next_scanline} * kLoopbackWidth * 3]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes jpeg(out, out + out_size);
  std::free(out);
  return jpeg;
}

// The same JPEG without its DHT segments: the decoder must fall back to the standard tables.
Bytes WithoutHuffmanTables(const Bytes& jpeg) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);  // SOI
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
    const size_t length = 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]);
    if (jpeg[at + 1] != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + length);
    at += length;
  }
  out.insert(out.end(), jpeg.begin() + at, jpeg.end());
  return out;
}

void Ioctl(int fd, unsigned long request, void* arg, const char* name) {
  if (ioctl(fd, request, arg) != 0) Die(name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: loopback_producer DEVICE yuyv|mjpeg|mjpeg-no-dht|mjpeg-cut-alternate|mjpeg-cut\n");
    return 2;
  }
  const std::string mode = argv[2];
  const Bytes rgb = RgbFrame();
  Bytes whole;
  if (mode == "yuyv") {
    whole = YuyvFrame(rgb);
  } else if (mode == "mjpeg-no-dht") {
    whole = WithoutHuffmanTables(MjpegFrame(rgb));
  } else if (mode == "mjpeg" || mode == "mjpeg-cut-alternate" || mode == "mjpeg-cut") {
    whole = MjpegFrame(rgb);
  } else {
    std::fprintf(stderr, "loopback_producer: unknown mode %s\n", mode.c_str());
    return 2;
  }
  // Cut in the middle of the scan, as a frame is when the USB transfer that carried its end was lost.
  const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));

  const int fd = open(argv[1], O_RDWR);
  if (fd < 0) Die(std::string("open ") + argv[1]);
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  format.fmt.pix.width = kLoopbackWidth;
  format.fmt.pix.height = kLoopbackHeight;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (mode == "yuyv") {
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.bytesperline = kLoopbackWidth * 2;
    format.fmt.pix.sizeimage = static_cast<uint32_t>(whole.size());
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
  } else {
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    format.fmt.pix.sizeimage = kLoopbackWidth * kLoopbackHeight * 2;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_JPEG;
  }
  Ioctl(fd, VIDIOC_S_FMT, &format, "VIDIOC_S_FMT");
  v4l2_streamparm parameters{};
  parameters.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  parameters.parm.output.timeperframe = {1, 30};
  Ioctl(fd, VIDIOC_S_PARM, &parameters, "VIDIOC_S_PARM");

  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (uint64_t frame = 0;; ++frame) {
    const bool cut_short = mode == "mjpeg-cut" || (mode == "mjpeg-cut-alternate" && frame % 2 == 1);
    const Bytes& bytes = cut_short ? cut : whole;
    // The loopback takes one frame per write() call, so a short count is a fault of the device.
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written != static_cast<ssize_t>(bytes.size())) Die("write");
    if (frame == 0) {
      std::puts("ready");
      std::fflush(stdout);
    }
    next.tv_nsec += 33'333'333;
    if (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
  }
}
