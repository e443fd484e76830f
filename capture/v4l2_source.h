#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/frame_source.h"
#include "capture/v4l2_io.h"

// A V4L2 camera. It is held from Connect until destruction under an exclusive lock, so that
// simultaneous requests take turns on it instead of failing; the stream runs only inside Grab.
class V4l2Source final : public FrameSource {
 public:
  // warm_up_frames: thrown away after the stream starts, while the camera settles.
  V4l2Source(const V4l2Io& io, std::string path, V4l2Timeouts timeouts, int warm_up_frames,
             std::string& failure, GiveWay give_way = nullptr);
  ~V4l2Source() override;

  // Opens and locks the device and checks that it can stream video frames.
  bool Connect();
  // Asks for the size; 16-bit 5-5-5 when the device offers it natively, otherwise 24-bit BGR that
  // libv4l2 converts to. Then asks for the fastest frame rate the device offers at that format.
  void SetFormat(const BitmapInfoHeader& wanted) override;
  bool Grab() override;
  bool SaveFrame(const char* path) override;
  std::optional<FrameOrigin> origin() const override;

 private:
  bool ReadFormat();
  bool LockDevice();
  void AskFastestFrameRate();
  bool OffersNatively(uint32_t pixel_format) const;
  bool FailWithErrno(const std::string& what);

  const V4l2Io& io_;
  std::string path_;
  V4l2Timeouts timeouts_;
  int warm_up_frames_;
  GiveWay give_way_;
  int fd_ = -1;
  v4l2_format format_{};
  bool format_known_ = false;
  bool format_refused_busy_ = false;  // another program streams, outside the lock stillcam takes
  std::vector<uint8_t> frame_;        // the last frame taken, rows top-down as the device delivers them
  int64_t frame_taken_ns_ = 0;
};
