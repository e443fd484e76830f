#include "capture/v4l2_io.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

namespace {

class LibV4l2 final : public V4l2Io {
 public:
  int Open(const char* path, int flags) const override { return open(path, flags); }
  int Wrap(int fd) const override {
    // libv4l2 prints its own errors on stderr. A failed capture is quiet, and when the administrator
    // asks why, stillcam says it in one line of its own: libv4l2's lines go nowhere.
    if (v4l2_log_file == nullptr) v4l2_log_file = std::fopen("/dev/null", "we");
    return v4l2_fd_open(fd, V4L2_ENABLE_ENUM_FMT_EMULATION);
  }
  int Close(int fd) const override { return v4l2_close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) const override { return v4l2_ioctl(fd, request, arg); }
  int DeviceIoctl(int fd, unsigned long request, void* arg) const override { return ioctl(fd, request, arg); }
  void* Mmap(size_t length, int fd, off_t offset) const override {
    return v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  }
  int Munmap(void* start, size_t length) const override { return v4l2_munmap(start, length); }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) const override { return poll(fds, count, timeout_ms); }
};

}  // namespace

int64_t V4l2Io::NowMs() const {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void V4l2Io::Pause(int ms) const {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);  // a signal cuts it short, and the caller's loop looks at the clock again
}

bool V4l2Io::Request(int fd, unsigned long request, void* arg) const {
  int result;
  do result = Ioctl(fd, request, arg);
  while (result != 0 && errno == EINTR);
  return result == 0;
}

const V4l2Io& LibV4l2Io() {
  static const LibV4l2 io;
  return io;
}
