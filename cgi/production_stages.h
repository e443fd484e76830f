#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/unique_fd.h"
#include "capture/video_capture.h"
#include "cgi/picture_share.h"
#include "cgi/settings.h"
#include "cgi/snapshot_run.h"
#include "imaging/font_lookup.h"
#include "imaging/frame_flip.h"

// The stages as a deployed stillcam runs them. The capture goes through the capture window: create
// it at the requested size, connect capture driver 1, ask for the format, grab one frame and save it
// as the frame file, disconnect. Its failures are quiet, unless verbose: then each says why in one
// line on stderr. The later stages are the frame loader, the caption, the JPEG encoder and the
// response on standard output.
class ProductionStages final : public SnapshotStages {
 public:
  // started: when the request started, on the share clock (ShareClockNow). system: where the
  // system's capture drivers are found (a deployed server's unless a test says otherwise).
  ProductionStages(const Settings& settings, int64_t started, SystemDrivers system = {});
  ProductionStages(const ProductionStages&) = delete;
  ProductionStages& operator=(const ProductionStages&) = delete;

  bool OpenCapture(const SnapshotOptions& options) override;
  bool TakeFrame(const SnapshotOptions& options, const char* frame_path) override;
  void CloseCapture() noexcept override;
  FrameBitmap LoadFrame(const char* frame_path) override;
  void DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) override;
  void EncodePicture(FrameBitmap&& frame, const char* picture_path) override;
  void WriteResponse(const char* picture_path) override;
  void SharePicture(const char* picture_path) override;
  bool WriteSharedResponse() override;

 private:
  // While waiting for a camera another run holds: true when that run's picture answers this request.
  bool GiveWay(const std::string& device);
  bool Quietly(bool result) const;

  NamedFonts fonts_;
  FrameFlip flip_;
  bool verbose_;
  bool share_;
  int64_t started_;
  PictureShare share_folder_;
  SnapshotOptions options_;  // the request's, kept for the wait
  UniqueFd shared_picture_;
  CaptureDrivers drivers_;  // after the members above: its wait calls back into them
  std::unique_ptr<CaptureWindow> window_;
};
