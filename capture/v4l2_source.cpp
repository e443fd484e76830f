#include "capture/v4l2_source.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/platform.h"
#include "capture/bmp_writer.h"
#include "capture/mjpeg_frame.h"
#include "capture/v4l2_controls.h"

namespace {

constexpr unsigned kBufferCount = 4;
constexpr int kLockRetryMs = 20;

// When the frame in buffer was taken: the driver's own time stamp where it is on the monotonic clock
// and plausible, else the moment the stream started, which no frame of the stream precedes.
int64_t FrameTakenNs(const v4l2_buffer& buffer, int64_t stream_started_ns, int64_t dequeued_ns) {
  if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
    return stream_started_ns;
  const int64_t stamped =
      int64_t{buffer.timestamp.tv_sec} * 1000000000 + int64_t{buffer.timestamp.tv_usec} * 1000;
  return stamped >= stream_started_ns && stamped <= dequeued_ns ? stamped : stream_started_ns;
}

// What is left until deadline on the io's clock, never below 0.
int MillisecondsUntil(const V4l2Io& io, int64_t deadline_ms) {
  return static_cast<int>(std::clamp<int64_t>(deadline_ms - io.NowMs(), 0, INT32_MAX));
}

uint16_t BitsPerPixel(uint32_t pixel_format) {
  switch (pixel_format) {
    case V4L2_PIX_FMT_RGB555:
      return 16;  // xrrrrrgg gggbbbbb little-endian: the BMP 5-5-5 layout
    case V4L2_PIX_FMT_BGR24:
      return 24;  // blue, green, red: the BMP 24-bit layout
    default:
      return 0;
  }
}

std::string FourCc(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>(code >> (8 * i) & 0x7F);
  return text;
}

// The mmap'd buffers of one stream and the stream itself, all given back when it goes.
class StreamBuffers {
 public:
  StreamBuffers(const V4l2Io& io, int fd) : io_(io), fd_(fd) {}
  ~StreamBuffers() {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (streaming_) io_.Request(fd_, VIDIOC_STREAMOFF, &type);
    for (const Mapping& mapping : mappings_) io_.Munmap(mapping.start, mapping.length);
    if (requested_) {
      v4l2_requestbuffers none{};
      none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      none.memory = V4L2_MEMORY_MMAP;
      io_.Request(fd_, VIDIOC_REQBUFS, &none);
    }
  }
  StreamBuffers(const StreamBuffers&) = delete;
  StreamBuffers& operator=(const StreamBuffers&) = delete;

  // Requests, maps and queues the buffers. Returns the failed request's name, or nullptr.
  const char* Start() {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (!io_.Request(fd_, VIDIOC_REQBUFS, &request)) return "VIDIOC_REQBUFS";
    requested_ = true;
    if (request.count == 0) {
      errno = ENOMEM;
      return "VIDIOC_REQBUFS";
    }
    for (unsigned index = 0; index < request.count; ++index) {
      v4l2_buffer buffer = Describe(index);
      if (!io_.Request(fd_, VIDIOC_QUERYBUF, &buffer)) return "VIDIOC_QUERYBUF";
      void* start = io_.Mmap(buffer.length, fd_, buffer.m.offset);
      if (start == MAP_FAILED) return "mmap";
      mappings_.push_back({start, buffer.length});
      if (!io_.Request(fd_, VIDIOC_QBUF, &buffer)) return "VIDIOC_QBUF";
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!io_.Request(fd_, VIDIOC_STREAMON, &type)) return "VIDIOC_STREAMON";
    streaming_ = true;
    return nullptr;
  }

  static v4l2_buffer Describe(unsigned index) {
    v4l2_buffer buffer{};
    buffer.index = index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return buffer;
  }

  // The mapped bytes of a dequeued buffer, or nullptr for an index the device should not have used.
  const uint8_t* Data(const v4l2_buffer& buffer) const {
    if (buffer.index >= mappings_.size()) return nullptr;
    return static_cast<const uint8_t*>(mappings_[buffer.index].start);
  }
  size_t Length(const v4l2_buffer& buffer) const { return mappings_[buffer.index].length; }

 private:
  struct Mapping {
    void* start;
    size_t length;
  };
  const V4l2Io& io_;
  int fd_;
  bool requested_ = false;
  bool streaming_ = false;
  std::vector<Mapping> mappings_;
};

}  // namespace

V4l2Source::V4l2Source(const V4l2Io& io, std::string path, V4l2Timeouts timeouts, int warm_up_frames,
                       std::string& failure, GiveWay give_way)
    : FrameSource(failure),
      io_(io),
      path_(std::move(path)),
      timeouts_(timeouts),
      warm_up_frames_(std::max(warm_up_frames, 0)),
      give_way_(std::move(give_way)) {}

V4l2Source::~V4l2Source() {
  if (fd_ >= 0) io_.Close(fd_);  // also gives up the lock
}

bool V4l2Source::FailWithErrno(const std::string& what) {
  const char* why = errno == ENODEV ? "the device went away" : std::strerror(errno);
  return Fail(path_ + ": " + what + ": " + why);
}

bool V4l2Source::Connect() {
  fd_ = io_.Open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return Fail(path_ + ": cannot open: " + std::strerror(errno));
  if (!LockDevice()) return false;
  v4l2_capability capability{};
  if (!io_.Request(fd_, VIDIOC_QUERYCAP, &capability)) return FailWithErrno("not a V4L2 device");
  uint32_t caps =
      capability.capabilities & V4L2_CAP_DEVICE_CAPS ? capability.device_caps : capability.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) return Fail(path_ + ": cannot capture video");
  if (!(caps & V4L2_CAP_STREAMING)) return Fail(path_ + ": does not offer streaming capture");
  if (io_.Wrap(fd_) != fd_) return FailWithErrno("libv4l2 cannot take the device");
  return true;
}

void V4l2Source::SetControls(const std::vector<CameraControl>& controls,
                             const std::function<void(const std::string&)>& warn) const {
  ApplyCameraControls(io_, fd_, controls, warn);
}

bool V4l2Source::LockDevice() {
  const int64_t deadline = io_.NowMs() + timeouts_.lock_ms;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Fail(path_ + ": cannot lock: " + std::strerror(errno));
    if (give_way_ && give_way_(path_)) return Fail("");
    int left = MillisecondsUntil(io_, deadline);
    if (left == 0)
      return Fail(path_ + ": still in use by another request after " + std::to_string(timeouts_.lock_ms) +
                  " ms");
    io_.Pause(std::min(left, kLockRetryMs));
  }
}

bool V4l2Source::OffersNatively(uint32_t pixel_format) const {
  v4l2_fmtdesc description{};
  description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (description.index = 0; io_.Request(fd_, VIDIOC_ENUM_FMT, &description); ++description.index) {
    if (description.pixelformat == pixel_format && !(description.flags & V4L2_FMT_FLAG_EMULATED)) return true;
  }
  return false;
}

void V4l2Source::SetFormat(const BitmapInfoHeader& wanted) {
  const bool native_555 = wanted.biBitCount == 16 && OffersNatively(V4L2_PIX_FMT_RGB555);
  v4l2_format request{};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.fmt.pix.width = static_cast<uint32_t>(std::max(wanted.biWidth, 1));
  request.fmt.pix.height = static_cast<uint32_t>(std::max(wanted.biHeight, 1));
  request.fmt.pix.pixelformat = native_555 ? V4L2_PIX_FMT_RGB555 : V4L2_PIX_FMT_BGR24;
  request.fmt.pix.field = V4L2_FIELD_NONE;
  // Refused or adjusted: what counts is what the device reports next.
  format_refused_busy_ = !io_.Request(fd_, VIDIOC_S_FMT, &request) && errno == EBUSY;
  if (!ReadFormat() || format_refused_busy_) return;
  if (!native_555) TakeJpegAsSent();
  AskFastestFrameRate();
}

// libv4l2 decodes Motion-JPEG itself, and a frame the camera cut short (common on a busy USB bus, and
// often not flagged) comes out as a picture whose lower part is grey. When the camera sends JPEG,
// its frames are taken as they come and decoded by TakeFrame, which passes damaged ones over.
void V4l2Source::TakeJpegAsSent() {
  v4l2_format sent{};
  sent.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (io_.DeviceIoctl(fd_, VIDIOC_G_FMT, &sent) != 0) return;
  const uint32_t code = sent.fmt.pix.pixelformat;
  if (code != V4L2_PIX_FMT_MJPEG && code != V4L2_PIX_FMT_JPEG) return;
  // Where libv4l2 would have halved a larger frame to give the size asked for, the decoder does it.
  const v4l2_pix_format& converted = format_.fmt.pix;
  for (unsigned reduction : {2u, 4u, 8u}) {
    if (converted.width * reduction == sent.fmt.pix.width &&
        converted.height * reduction == sent.fmt.pix.height)
      jpeg_reduction_ = reduction;
  }
  // The camera's own format is one libv4l2 passes through unconverted.
  io_.Request(fd_, VIDIOC_S_FMT, &sent);
  jpeg_ = ReadFormat() && format_.fmt.pix.pixelformat == code;
}

bool V4l2Source::ReadFormat() {
  format_ = {};
  format_.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format_known_ = io_.Request(fd_, VIDIOC_G_FMT, &format_);
  return format_known_;
}

void V4l2Source::AskFastestFrameRate() {
  v4l2_streamparm parameters{};
  parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (!io_.Request(fd_, VIDIOC_G_PARM, &parameters) ||
      !(parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
    return;
  v4l2_fract& current = parameters.parm.capture.timeperframe;
  auto faster = [](const v4l2_fract& a, const v4l2_fract& b) {
    return uint64_t{a.numerator} * b.denominator < uint64_t{b.numerator} * a.denominator;
  };

  // Without a list, 30 frames a second is what nearly every camera can do; it adjusts to the nearest.
  v4l2_fract fastest{1, 30};
  v4l2_frmivalenum interval{};
  interval.pixel_format = format_.fmt.pix.pixelformat;
  interval.width = format_.fmt.pix.width;
  interval.height = format_.fmt.pix.height;
  for (bool first = true; interval.index < 64 && io_.Request(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &interval);
       ++interval.index) {
    const v4l2_fract offered =
        interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
    if (offered.numerator == 0 || offered.denominator == 0) continue;
    if (first || faster(offered, fastest)) fastest = offered;
    first = false;
    if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
  }
  if (current.denominator != 0 && current.numerator != 0 && !faster(fastest, current)) return;
  current = fastest;
  io_.Request(fd_, VIDIOC_S_PARM, &parameters);  // a refusal leaves the rate as it was, which still works
}

bool V4l2Source::Grab() {
  if (!format_known_ && !ReadFormat()) return FailWithErrno("VIDIOC_G_FMT");
  const v4l2_pix_format& pix = format_.fmt.pix;
  const uint16_t bits = jpeg_ ? 24 : BitsPerPixel(pix.pixelformat);
  if (bits == 0 && format_refused_busy_) return Fail(path_ + ": busy: another program is streaming from it");
  if (bits == 0)
    return Fail(path_ + ": delivers " + FourCc(pix.pixelformat) + " frames, which cannot be stored");
  const size_t row_bytes = size_t{pix.width} * (bits / 8);
  if (pix.width == 0 || pix.height == 0 || (!jpeg_ && pix.bytesperline < row_bytes))
    return Fail(path_ + ": reports an impossible frame layout");
  // The last row needs no padding after it; some drivers leave it out of the buffer. A JPEG frame
  // has the length the device reports.
  const size_t frame_size = jpeg_ ? 1 : size_t{pix.bytesperline} * (pix.height - 1) + row_bytes;

  StreamBuffers stream(io_, fd_);
  const int64_t stream_started_ns = MonotonicNanoseconds();
  if (const char* failed = stream.Start()) {
    if (errno == EBUSY) return Fail(path_ + ": busy: another program is streaming from it");
    return FailWithErrno(failed);
  }

  int warm_up_left = warm_up_frames_;
  int64_t deadline = io_.NowMs() + timeouts_.frame_ms;
  for (;;) {
    const int left = MillisecondsUntil(io_, deadline);
    if (left == 0 && !damage_.empty())
      return Fail(path_ + ": only damaged frames within " + std::to_string(timeouts_.frame_ms) +
                  " ms; the last: " + damage_);
    if (left == 0) return Fail(path_ + ": no frame within " + std::to_string(timeouts_.frame_ms) + " ms");
    pollfd wait{fd_, POLLIN, 0};
    int ready = io_.Poll(&wait, 1, left);
    if (ready < 0 && errno != EINTR) return FailWithErrno("poll");
    if (ready <= 0) continue;

    v4l2_buffer buffer = StreamBuffers::Describe(0);
    if (!io_.Request(fd_, VIDIOC_DQBUF, &buffer)) {
      if (errno != EAGAIN) return FailWithErrno("VIDIOC_DQBUF");
      if (wait.revents & (POLLERR | POLLHUP | POLLNVAL))
        return Fail(path_ + ": the device reports a stream error");
      continue;
    }
    const uint8_t* data = stream.Data(buffer);
    if (data == nullptr) return Fail(path_ + ": the device returned a buffer it was not given");
    const size_t used = std::min<size_t>(buffer.bytesused != 0 ? buffer.bytesused : stream.Length(buffer),
                                         stream.Length(buffer));
    // A flagged or short frame is passed over; it does not count as a sign of life either. A JPEG
    // frame that does not decode cleanly is passed over the same way once the warm-up is done (the
    // warm-up frames are not decoded).
    const bool usable = !(buffer.flags & V4L2_BUF_FLAG_ERROR) && used >= frame_size;
    if (usable && warm_up_left == 0 && TakeFrame(data, used, frame_size)) {
      frame_taken_ns_ = FrameTakenNs(buffer, stream_started_ns, MonotonicNanoseconds());
      return true;
    }
    if (usable && warm_up_left > 0) {
      --warm_up_left;
      deadline = io_.NowMs() + timeouts_.frame_ms;
    }
    if (!io_.Request(fd_, VIDIOC_QBUF, &buffer)) return FailWithErrno("VIDIOC_QBUF");
  }
}

bool V4l2Source::TakeFrame(const uint8_t* data, size_t used, size_t frame_size) {
  const v4l2_pix_format& pix = format_.fmt.pix;
  if (jpeg_) {
    frame_width_ = pix.width / jpeg_reduction_;
    frame_height_ = pix.height / jpeg_reduction_;
    frame_bits_ = 24;
    frame_stride_ = size_t{frame_width_} * 3;
    if (DecodeMjpegFrame(data, used, pix.width, pix.height, frame_, damage_, jpeg_reduction_)) return true;
    frame_.clear();
    return false;
  }
  frame_width_ = pix.width;
  frame_height_ = pix.height;
  frame_bits_ = BitsPerPixel(pix.pixelformat);
  frame_stride_ = pix.bytesperline;
  frame_.assign(data, data + frame_size);
  return true;
}

bool V4l2Source::SaveFrame(const char* path) {
  if (frame_.empty()) return Fail(path_ + ": no frame taken");
  BmpPixels pixels{static_cast<int32_t>(frame_width_),
                   static_cast<int32_t>(frame_height_),
                   frame_bits_,
                   frame_.data(),
                   frame_stride_,
                   true};
  if (!WriteBmpFile(path, pixels))
    return Fail(std::string("cannot write the frame file: ") + std::strerror(errno));
  return true;
}

std::optional<FrameOrigin> V4l2Source::origin() const {
  if (frame_.empty()) return std::nullopt;
  return FrameOrigin{path_, frame_taken_ns_};
}
