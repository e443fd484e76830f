#include "tests/capture/fake_camera.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/platform.h"

namespace {

int Failure(int error) {
  errno = error;
  return -1;
}

uint32_t BytesPerPixel(uint32_t pixel_format) {
  switch (pixel_format) {
    case V4L2_PIX_FMT_RGB555:
      return 2;
    case V4L2_PIX_FMT_BGR24:
      return 3;
    default:
      return 2;  // YUYV and friends
  }
}

void PutColour(uint8_t* at, uint32_t pixel_format, uint32_t rgb) {
  const uint32_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
  if (pixel_format == V4L2_PIX_FMT_BGR24) {
    at[0] = static_cast<uint8_t>(b), at[1] = static_cast<uint8_t>(g), at[2] = static_cast<uint8_t>(r);
  } else {
    uint32_t packed = 0x8000 | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3);  // top bit set: it must not matter
    at[0] = static_cast<uint8_t>(packed), at[1] = static_cast<uint8_t>(packed >> 8);
  }
}

}  // namespace

FakeCamera::FakeCamera() {
  current.width = 640;
  current.height = 480;
  current.pixelformat = V4L2_PIX_FMT_BGR24;
  current.bytesperline = 640 * 3;
  current.sizeimage = current.bytesperline * 480;
  current.field = V4L2_FIELD_NONE;
  formats = {Format(V4L2_PIX_FMT_YUYV), Format(V4L2_PIX_FMT_BGR24, V4L2_FMT_FLAG_EMULATED)};
}

v4l2_fmtdesc FakeCamera::Format(uint32_t pixel_format, uint32_t flags) {
  v4l2_fmtdesc description{};
  description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  description.pixelformat = pixel_format;
  description.flags = flags;
  return description;
}

int FakeCamera::Open(const char* path, int flags) const {
  int fd = open(path, (flags & O_CLOEXEC) | O_RDWR);
  if (fd < 0) return fd;
  std::string copy = path;
  self().names_by_fd_[fd] = basename(copy.data());
  self().opened.push_back(path);
  ++self().open_fds;
  return fd;
}

int FakeCamera::Wrap(int fd) const {
  ++self().wrapped;
  return fd;
}

int FakeCamera::Close(int fd) const {
  self().names_by_fd_.erase(fd);
  --self().open_fds;
  return close(fd);
}

void* FakeCamera::Mmap(size_t length, int, off_t offset) const {
  auto index = static_cast<size_t>(offset) / 0x100000;
  if (index >= buffers_.size() || length > buffers_[index].size()) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  ++self().mapped;
  return self().buffers_[index].data();
}

int FakeCamera::Munmap(void*, size_t) const {
  --self().mapped;
  return 0;
}

void FakeCamera::Pause(int ms) const {
  FakeCamera& me = self();
  me.now_ms += ms;
  ++me.pauses;
  if (me.on_pause) me.on_pause(me.pauses);
}

int FakeCamera::Poll(pollfd* fds, nfds_t, int timeout_ms) const {
  FakeCamera& me = self();
  if (!me.ready_) {
    if (me.script.empty() || queued_.empty()) {
      me.now_ms += timeout_ms;
      return 0;
    }
    me.pending_ = me.script.front();
    me.script.pop_front();
    if (me.pending_.kind == Step::kSilence) {
      me.now_ms += timeout_ms;
      return 0;
    }
    me.ready_ = true;
  }
  fds[0].revents = me.pending_.kind == Step::kGone ? POLLERR | POLLHUP : POLLIN;
  return 1;
}

int FakeCamera::Ioctl(int fd, unsigned long request, void* arg) const {
  return self().IoctlRecorded(fd, request, arg);
}

void FakeCamera::FillFrame(std::vector<uint8_t>& buffer, uint8_t label) const {
  const uint32_t bytes = BytesPerPixel(current.pixelformat);
  for (uint32_t y = 0; y < current.height; ++y) {
    uint8_t* row = buffer.data() + y * current.bytesperline;
    if (y == current.height / 2) {
      std::memset(row, label, current.bytesperline);
      continue;
    }
    const uint32_t colour = y < current.height / 2 ? kFakeTopColour : kFakeBottomColour;
    for (uint32_t x = 0; x < current.width; ++x) PutColour(row + x * bytes, current.pixelformat, colour);
  }
}

int FakeCamera::IoctlRecorded(int fd, unsigned long request, void* arg) {
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* capability = static_cast<v4l2_capability*>(arg);
      *capability = {};
      auto named = caps_by_name.find(names_by_fd_[fd]);
      capability->device_caps = named != caps_by_name.end() ? named->second : device_caps;
      capability->capabilities = capability->device_caps | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* description = static_cast<v4l2_fmtdesc*>(arg);
      if (description->index >= formats.size()) return Failure(EINVAL);
      uint32_t index = description->index;
      *description = formats[index];
      description->index = index;
      return 0;
    }
    case VIDIOC_S_FMT: {
      auto& wanted = static_cast<v4l2_format*>(arg)->fmt.pix;
      asked = wanted;
      if (s_fmt_errno != 0) return Failure(s_fmt_errno);
      for (uint32_t accepted : accepted_formats)
        if (wanted.pixelformat == accepted) current.pixelformat = accepted;
      current.width = wanted.width;
      current.height = wanted.height;
      uint64_t best = UINT64_MAX;
      for (auto [w, h] : sizes) {
        uint64_t distance =
            uint64_t(std::abs(int64_t(w) - wanted.width)) * std::abs(int64_t(h) - wanted.height) +
            std::abs(int64_t(w) - wanted.width) + std::abs(int64_t(h) - wanted.height);
        if (distance < best) best = distance, current.width = w, current.height = h;
      }
      current.bytesperline = current.width * BytesPerPixel(current.pixelformat);
      current.sizeimage = current.bytesperline * current.height;
      wanted = current;
      return 0;
    }
    case VIDIOC_G_FMT:
      static_cast<v4l2_format*>(arg)->fmt.pix = current;
      return 0;
    case VIDIOC_G_PARM: {
      auto& capture = static_cast<v4l2_streamparm*>(arg)->parm.capture;
      capture = {};
      capture.capability = can_set_rate ? V4L2_CAP_TIMEPERFRAME : 0;
      capture.timeperframe = rate;
      return 0;
    }
    case VIDIOC_S_PARM:
      if (!can_set_rate) return Failure(EINVAL);
      rate = static_cast<v4l2_streamparm*>(arg)->parm.capture.timeperframe;
      rate_set = true;
      return 0;
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* interval = static_cast<v4l2_frmivalenum*>(arg);
      if (interval->pixel_format != current.pixelformat || interval->width != current.width ||
          interval->height != current.height)
        return Failure(EINVAL);
      if (stepwise_min.denominator != 0) {
        if (interval->index > 0) return Failure(EINVAL);
        interval->type = V4L2_FRMIVAL_TYPE_STEPWISE;
        interval->stepwise.min = stepwise_min;
        interval->stepwise.max = {1, 1};
        interval->stepwise.step = {1, 1000};
        return 0;
      }
      if (interval->index >= intervals.size()) return Failure(EINVAL);
      interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
      interval->discrete = intervals[interval->index];
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* buffers = static_cast<v4l2_requestbuffers*>(arg);
      if (reqbufs_errno != 0) return Failure(reqbufs_errno);
      if (streaming) return Failure(EBUSY);
      if (buffers->count == 0) {
        if (mapped != 0) return Failure(EBUSY);
        buffers_.clear();
        queued_.clear();
        buffers_freed = true;
        return 0;
      }
      buffers->count = std::min(buffers->count, 3u);
      buffers_.assign(buffers->count, std::vector<uint8_t>(current.sizeimage));
      buffers_freed = false;
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(arg);
      if (buffer->index >= buffers_.size()) return Failure(EINVAL);
      buffer->length = static_cast<uint32_t>(buffers_[buffer->index].size());
      buffer->m.offset = buffer->index * 0x100000;
      return 0;
    }
    case VIDIOC_QBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(arg);
      if (buffer->index >= buffers_.size()) return Failure(EINVAL);
      queued_.push_back(buffer->index);
      return 0;
    }
    case VIDIOC_STREAMON:
      if (streamon_errno != 0) return Failure(streamon_errno);
      streaming = true;
      return 0;
    case VIDIOC_STREAMOFF:
      streaming = false;
      queued_.clear();
      ready_ = false;
      return 0;
    case VIDIOC_DQBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(arg);
      if (!ready_) return Failure(EAGAIN);
      if (pending_.kind == Step::kGone) return Failure(ENODEV);
      ready_ = false;
      unsigned index = queued_.front();
      queued_.pop_front();
      FillFrame(buffers_[index], pending_.label);
      buffer->index = index;
      buffer->flags = pending_.kind == Step::kFlaggedFrame ? V4L2_BUF_FLAG_ERROR : 0;
      if (stamp_from_now_ns) {
        last_stamp_ns = MonotonicNanoseconds() + *stamp_from_now_ns;
        buffer->flags |= V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        buffer->timestamp.tv_sec = last_stamp_ns / 1000000000;
        buffer->timestamp.tv_usec = last_stamp_ns % 1000000000 / 1000;
        last_stamp_ns =
            int64_t{buffer->timestamp.tv_sec} * 1000000000 + int64_t{buffer->timestamp.tv_usec} * 1000;
      }
      buffer->bytesused = pending_.kind == Step::kShortFrame ? current.sizeimage / 2 : current.sizeimage;
      ++dequeued;
      return 0;
    }
    default:
      return Failure(ENOTTY);
  }
}
