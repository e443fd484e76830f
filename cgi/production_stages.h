#pragma once

#include "capture/frame_grab.h"
#include "cgi/settings.h"
#include "cgi/snapshot_run.h"
#include "imaging/font_lookup.h"

// The stages as a deployed stillcam runs them: the camera, the BMP loader, the caption, the JPEG
// encoder, and the response on standard output.
class ProductionStages final : public SnapshotStages {
 public:
  explicit ProductionStages(const Settings& settings);

  bool OpenCapture(const SnapshotOptions& options) override;
  bool TakeFrame(const SnapshotOptions& options, const char* frame_path) override;
  void CloseCapture() override;
  FrameBitmap LoadFrame(const char* frame_path) override;
  void DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) override;
  void EncodePicture(FrameBitmap&& frame, const char* picture_path) override;
  void WriteResponse(const char* picture_path) override;

 private:
  FrameGrab grab_;
  NamedFonts fonts_;
};
