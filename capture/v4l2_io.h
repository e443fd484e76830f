#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The calls through which the V4L2 source reaches a device, and nothing else: the seam where
// tests put a device that is busy, silent, flawed or unplugged. The production calls go through
// libv4l2, which converts whatever the camera delivers (YUYV, MJPEG, Bayer, ...) on the fly.
class V4l2Io {
 public:
  virtual ~V4l2Io() = default;
  // A plain open: nothing is asked of the device yet, so it can be locked first.
  virtual int Open(const char* path, int flags) const = 0;
  // Puts libv4l2's format conversion behind an opened device. Returns fd, or -1 with errno set.
  virtual int Wrap(int fd) const = 0;
  virtual int Close(int fd) const = 0;  // wrapped or not
  virtual int Ioctl(int fd, unsigned long request, void* arg) const = 0;
  // The device's own answer, past libv4l2: what the camera itself delivers behind the conversion.
  virtual int DeviceIoctl(int fd, unsigned long request, void* arg) const = 0;
  virtual void* Mmap(size_t length, int fd, off_t offset) const = 0;  // shared, read and write
  virtual int Munmap(void* start, size_t length) const = 0;
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms) const = 0;

  // The clock the source's waits are measured on, in milliseconds, and a pause while it waits for a
  // lock: the real monotonic clock and nanosleep, unless a test runs the waits on a clock of its own.
  virtual int64_t NowMs() const;
  virtual void Pause(int ms) const;

  // An ioctl as the source makes every one: repeated while a signal interrupts it. False with errno set.
  bool Request(int fd, unsigned long request, void* arg) const;
};

const V4l2Io& LibV4l2Io();

// How long the source waits, in milliseconds. Tests shorten them; deployed they stay as they are.
struct V4l2Timeouts {
  int frame_ms = 5000;  // for each frame, before the device counts as silent
  int lock_ms = 10000;  // for another request to finish with the device
};
