#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/camera_control.h"
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
  // Sets the camera's controls once connected; those it will not take go to warn, one line each.
  void SetControls(const std::vector<CameraControl>& controls,
                   const std::function<void(const std::string&)>& warn) const;
  // Asks for the size; 16-bit 5-5-5 when the device offers it natively, otherwise 24-bit BGR that
  // libv4l2 converts to, except from Motion-JPEG, which is taken as the camera sends it and decoded
  // here. Then asks for the fastest frame rate the device offers at that format.
  void SetFormat(const BitmapInfoHeader& wanted) override;
  bool Grab() override;
  bool SaveFrame(const char* path) override;
  std::optional<FrameOrigin> origin() const override;

 private:
  bool ReadFormat();
  void TakeJpegAsSent();
  bool TakeFrame(const uint8_t* data, size_t used, size_t frame_size);
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
  bool jpeg_ = false;                 // frames come as the camera's JPEG, decoded by TakeFrame
  unsigned jpeg_reduction_ = 1;       // at this fraction of their size
  std::string damage_;                // why the last JPEG frame was passed over
  std::vector<uint8_t> frame_;        // the last frame taken, rows top-down
  uint32_t frame_width_ = 0;
  uint32_t frame_height_ = 0;
  uint16_t frame_bits_ = 0;  // its pixel size
  size_t frame_stride_ = 0;  // and the bytes from one of its rows to the next
  int64_t frame_taken_ns_ = 0;
};
