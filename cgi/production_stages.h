#pragma once

#include "capture/frame_grab.h"
#include "cgi/settings.h"
#include "cgi/snapshot_run.h"
#include "cgi/picture_share.h"
#include "imaging/font_lookup.h"

// The stages as a deployed stillcam runs them: the camera, the BMP loader, the caption, the JPEG
// encoder, and the response on standard output.
class ProductionStages final : public SnapshotStages {
 public:
  // started: when the request started, on the share clock (ShareClockNow).
  ProductionStages(const Settings& settings, int64_t started);
  ProductionStages(const ProductionStages&) = delete;
  ProductionStages& operator=(const ProductionStages&) = delete;

  bool OpenCapture(const SnapshotOptions& options) override;
  bool TakeFrame(const SnapshotOptions& options, const char* frame_path) override;
  void CloseCapture() override;
  FrameBitmap LoadFrame(const char* frame_path) override;
  void DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) override;
  void EncodePicture(FrameBitmap&& frame, const char* picture_path) override;
  void WriteResponse(const char* picture_path) override;
  void SharePicture(const char* picture_path) override;
  bool WriteSharedResponse() override;

 private:
  // While waiting for a camera another run holds: true when that run's picture answers this request.
  bool GiveWay(const std::string& device);

  NamedFonts fonts_;
  bool share_;
  int64_t started_;
  PictureShare share_folder_;
  SnapshotOptions options_;  // the request's, kept for the wait
  UniqueFd shared_picture_;
  FrameGrab grab_;  // last: its wait calls back into the members above
};
