#include "cgi/production_stages.h"

#include <unistd.h>

#include "cgi/cgi_response.h"
#include "imaging/bmp_reader.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/timestamp_caption.h"

namespace {

CaptureDrivers DriversFrom(const Settings& settings) {
  CaptureDrivers drivers;
  drivers.driver_1 = settings.device;
  drivers.warm_up_frames = settings.skip_frames;
  return drivers;
}

}  // namespace

ProductionStages::ProductionStages(const Settings& settings)
    : grab_(DriversFrom(settings), settings.verbose), fonts_{settings.font, settings.bold_font} {}

bool ProductionStages::OpenCapture(const SnapshotOptions& options) {
  return grab_.Open(options.frame_width, options.frame_height);
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
