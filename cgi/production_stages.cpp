#include "cgi/production_stages.h"

#include <unistd.h>

#include "cgi/cgi_response.h"
#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/timestamp_caption.h"

namespace {

CaptureDrivers DriversFrom(const Settings& settings, GiveWay give_way) {
  CaptureDrivers drivers;
  drivers.driver_1 = settings.device;
  drivers.warm_up_frames = settings.skip_frames;
  if (settings.share) drivers.give_way = std::move(give_way);
  return drivers;
}

}  // namespace

ProductionStages::ProductionStages(const Settings& settings, int64_t started)
    : fonts_{settings.font, settings.bold_font},
      share_(settings.share),
      started_(started),
      share_folder_(DefaultShareFolder(settings.temporary_folder), settings.verbose),
      grab_(DriversFrom(settings, [this](const std::string& device) { return GiveWay(device); }),
            settings.verbose) {}

bool ProductionStages::OpenCapture(const SnapshotOptions& options) {
  options_ = options;
  return grab_.Open(options.frame_width, options.frame_height);
}

bool ProductionStages::GiveWay(const std::string& device) {
  shared_picture_ = share_folder_.Find(ShareKey(device, options_, fonts_.regular, fonts_.bold), started_);
  return shared_picture_.valid();
}

bool ProductionStages::TakeFrame(const SnapshotOptions& options, const char* frame_path) {
  return grab_.TakeFrame(options.frame_width, options.frame_height, frame_path);
}

void ProductionStages::CloseCapture() { grab_.Close(); }

FrameBitmap ProductionStages::LoadFrame(const char* frame_path) { return LoadFrameBitmap(frame_path); }

void ProductionStages::DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) {
  DrawTimestampCaption(frame, options.frame_height, options.bold, fonts_);
}

void ProductionStages::EncodePicture(FrameBitmap&& frame, const char* picture_path) {
  FrameBitmap owned = std::move(frame);
  EncodeJpegFile(owned, picture_path);
}

void ProductionStages::WriteResponse(const char* picture_path) {
  WriteCgiResponse(picture_path, STDOUT_FILENO);
}

void ProductionStages::SharePicture(const char* picture_path) {
  const std::optional<FrameOrigin> origin = grab_.origin();
  if (!share_ || !origin) return;  // only a camera is waited for
  UniqueFd picture(OpenForReading(picture_path, true));
  if (picture.valid())
    share_folder_.Publish(ShareKey(origin->device, options_, fonts_.regular, fonts_.bold), origin->taken_ns, picture.get());
}

bool ProductionStages::WriteSharedResponse() {
  if (!shared_picture_.valid()) return false;
  WriteCgiResponseFrom(shared_picture_.get(), STDOUT_FILENO);
  return true;
}
