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

#include "tests/capture/webcam_frames.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "loopback_producer: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void Ioctl(int fd, unsigned long request, void* arg, const char* name) {
  if (ioctl(fd, request, arg) != 0) Die(name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: loopback_producer DEVICE yuyv|mjpeg|mjpeg-no-dht|mjpeg-cut-alternate|mjpeg-cut\n");
    return 2;
  }
  const std::string mode = argv[2];
  const Bytes rgb = QuadrantRgb(kWidth, kHeight);
  Bytes whole;
  if (mode == "yuyv") {
    whole = Yuyv(rgb);
  } else if (mode == "mjpeg-no-dht") {
    whole = WithoutHuffmanTables(WebcamJpeg(rgb, kWidth, kHeight));
  } else if (mode == "mjpeg" || mode == "mjpeg-cut-alternate" || mode == "mjpeg-cut") {
    whole = WebcamJpeg(rgb, kWidth, kHeight);
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
  format.fmt.pix.width = kWidth;
  format.fmt.pix.height = kHeight;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (mode == "yuyv") {
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.bytesperline = kWidth * 2;
    format.fmt.pix.sizeimage = static_cast<uint32_t>(whole.size());
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
  } else {
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    format.fmt.pix.sizeimage = kWidth * kHeight * 2;
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
