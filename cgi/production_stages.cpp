#include "cgi/production_stages.h"

#include <unistd.h>

#include <cstdio>
#include <optional>

#include "base/platform.h"
#include "capture/bitmap_info_header.h"
#include "cgi/cgi_response.h"
#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/timestamp_caption.h"

namespace {

constexpr const char kWindowName[] = "My Own Capture Window";
constexpr int kCameraDriver = 1;

CaptureDrivers DriversFrom(const Settings& settings, SystemDrivers system, GiveWay give_way) {
  CaptureDrivers drivers;
  static_cast<SystemDrivers&>(drivers) = std::move(system);
  drivers.driver_1 = settings.device;
  drivers.warm_up_frames = settings.skip_frames;
  if (settings.share) drivers.give_way = std::move(give_way);
  drivers.camera_controls = settings.camera_controls;
  drivers.warn = [](const std::string& line) { std::fprintf(stderr, "stillcam: %s\n", line.c_str()); };
  return drivers;
}

}  // namespace

ProductionStages::ProductionStages(const Settings& settings, int64_t started, SystemDrivers system)
    : fonts_{settings.font, settings.bold_font},
      flip_(settings.flip),
      verbose_(settings.verbose),
      share_(settings.share),
      started_(started),
      share_folder_(DefaultShareFolder(settings.temporary_folder), settings.verbose),
      drivers_(DriversFrom(settings, std::move(system),
                           [this](const std::string& device) { return GiveWay(device); })) {}

bool ProductionStages::Quietly(bool result) const {
  // A window without a failure gave way to another run's picture: nothing went wrong.
  if (!result && verbose_ && !(window_ && window_->failure.empty())) {
    const char* why = window_ ? window_->failure.c_str() : "no capture window";
    std::fprintf(stderr, "stillcam: %s\n", why);
  }
  return result;
}

bool ProductionStages::OpenCapture(const SnapshotOptions& options) {
  options_ = options;
  window_ = CreateCaptureWindow(kWindowName, kCaptureWindowStyle, 0, 0, options.frame_width,
                                options.frame_height, DesktopWindow(), kCaptureWindowId, drivers_);
  return Quietly(window_ && CapDriverConnect(*window_, kCameraDriver));
}

bool ProductionStages::GiveWay(const std::string& device) {
  shared_picture_ = share_folder_.Find(ShareKey(device, options_, fonts_.regular, fonts_.bold), started_);
  return shared_picture_.valid();
}

bool ProductionStages::TakeFrame(const SnapshotOptions& options, const char* frame_path) {
  // Whatever the answer to the format: the frame file tells what the driver delivered.
  CapSetVideoFormat(*window_, RequestedFrameFormat(options.frame_width, options.frame_height));
  return Quietly(CapGrabFrame(*window_) && CapFileSaveDib(*window_, frame_path));
}

void ProductionStages::CloseCapture() noexcept { CapDriverDisconnect(*window_); }

// A camera mounted mirrored or upside down is turned here, before the caption goes on upright.
FrameBitmap ProductionStages::LoadFrame(const char* frame_path) {
  FrameBitmap frame = LoadFrameBitmap(frame_path);
  FlipFrame(frame, flip_);
  return frame;
}

void ProductionStages::DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) {
  DrawTimestampCaption(frame, options.frame_height, options.bold, fonts_);
}

void ProductionStages::EncodePicture(FrameBitmap&& frame, const char* picture_path) {
  EncodeJpegFile(std::move(frame), picture_path);
}

void ProductionStages::WriteResponse(const char* picture_path) {
  WriteCgiResponse(picture_path, STDOUT_FILENO);
}

void ProductionStages::SharePicture(const char* picture_path) {
  // Only a camera is waited for, and only a connected one took the frame.
  const std::optional<FrameOrigin> origin =
      window_ && window_->driver ? window_->driver->origin() : std::nullopt;
  if (!share_ || !origin) return;
  UniqueFd picture(OpenForReading(picture_path, false));
  if (picture.valid())
    share_folder_.Publish(ShareKey(origin->device, options_, fonts_.regular, fonts_.bold), origin->taken_ns,
                          picture.get());
}

bool ProductionStages::WriteSharedResponse() {
  if (!shared_picture_.valid()) return false;
  WriteCgiResponseFrom(shared_picture_.get(), STDOUT_FILENO);
  return true;
}
