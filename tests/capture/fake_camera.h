#pragma once

#include <linux/videodev2.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/v4l2_io.h"

// A V4L2 camera behind the source's seam, for what a real device cannot be made to do on demand:
// be busy, stay silent, deliver a flagged buffer, disappear mid-stream, or answer a format request
// its own way. Device nodes are real files (so open, close and flock are real); the ioctls, the
// buffers and poll are the fake's. Every call is recorded.
class FakeCamera final : public V4l2Io {
 public:
  // What the stream does next, one step per poll.
  struct Step {
    enum Kind { kFrame, kFlaggedFrame, kShortFrame, kSilence, kGone } kind = kFrame;
    uint8_t label = 0;  // the frame's middle row is filled with this byte, so tests can tell frames apart
  };

  // A node answering VIDIOC_QUERYCAP with these device caps; other ioctls only matter for the camera.
  uint32_t device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  std::map<std::string, uint32_t> caps_by_name;  // for driver lists: node name -> device caps

  // Formats listed by VIDIOC_ENUM_FMT, with their flags.
  std::vector<v4l2_fmtdesc> formats;
  // Sizes the device can deliver; S_FMT picks the nearest. Empty: any size.
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  // Pixel formats S_FMT accepts; anything else leaves the current one.
  std::vector<uint32_t> accepted_formats = {V4L2_PIX_FMT_RGB555, V4L2_PIX_FMT_BGR24};
  int s_fmt_errno = 0;
  v4l2_pix_format current{};  // G_FMT answers this

  // Frame intervals for ENUM_FRAMEINTERVALS: discrete ones, or one stepwise range when stepwise_min is set.
  std::vector<v4l2_fract> intervals;
  v4l2_fract stepwise_min{};
  bool can_set_rate = true;
  v4l2_fract rate{1, 5};

  // Buffers carry a monotonic time stamp this far from the moment they are dequeued; none when unset.
  std::optional<int64_t> stamp_from_now_ns;
  int64_t last_stamp_ns = 0;

  int reqbufs_errno = 0;
  int streamon_errno = 0;
  std::deque<Step> script;  // when it runs out, the device is silent

  // What happened.
  std::vector<std::string> opened;
  int open_fds = 0;
  int64_t now_ms = 1000000;  // the fake clock
  int pauses = 0;
  std::function<void(int pause)> on_pause;  // called at each pause, counted from 1
  int wrapped = 0;
  int mapped = 0;
  bool streaming = false;
  bool buffers_freed = true;
  v4l2_pix_format asked{};  // the last S_FMT request
  bool rate_set = false;
  int dequeued = 0;

  FakeCamera();
  static v4l2_fmtdesc Format(uint32_t pixel_format, uint32_t flags = 0);

  int Open(const char* path, int flags) const override;
  int Wrap(int fd) const override;
  int Close(int fd) const override;
  int Ioctl(int fd, unsigned long request, void* arg) const override;
  int DeviceIoctl(int fd, unsigned long request, void* arg) const override { return Ioctl(fd, request, arg); }
  void* Mmap(size_t length, int fd, off_t offset) const override;
  int Munmap(void* start, size_t length) const override;
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) const override;
  // The source's waits run on a clock of the fake's own: a silent poll or a pause moves it on by
  // its length at once, so that no test waits in real time.
  int64_t NowMs() const override { return now_ms; }
  void Pause(int ms) const override;

 private:
  // The seam's calls are const; the fake records through these.
  FakeCamera& self() const { return const_cast<FakeCamera&>(*this); }
  int IoctlRecorded(int fd, unsigned long request, void* arg);
  void FillFrame(std::vector<uint8_t>& buffer, uint8_t label) const;

  std::map<int, std::string> names_by_fd_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::deque<unsigned> queued_;
  Step pending_{Step::kSilence, 0};
  bool ready_ = false;
};

// The colour of the fake's top rows (red) and bottom rows (blue): a frame stored upside down shows it.
inline constexpr uint32_t kFakeTopColour = 0xFF0000;
inline constexpr uint32_t kFakeBottomColour = 0x0000FF;
