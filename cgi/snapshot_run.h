#pragma once

#include "cgi/request_options.h"
#include "imaging/frame_bitmap.h"

// The stages one snapshot passes through, in the order the run calls them. Capture results are
// true/false (a failure is quiet); any stage throws on a fault (the capture too, when memory runs out).
class SnapshotStages {
 public:
  virtual ~SnapshotStages() = default;

  // Makes the capture window and connects capture driver 1. False: no window or no connection.
  virtual bool OpenCapture(const SnapshotOptions& options) = 0;
  // Asks for the frame format, grabs one frame and saves it as a BMP file at frame_path.
  virtual bool TakeFrame(const SnapshotOptions& options, const char* frame_path) = 0;
  // Disconnects the driver; called only after a successful OpenCapture, on every way out of the run.
  virtual void CloseCapture() noexcept = 0;

  virtual FrameBitmap LoadFrame(const char* frame_path) = 0;
  virtual void DrawCaption(FrameBitmap& frame, const SnapshotOptions& options) = 0;
  // Takes the bitmap over: it is released as soon as the picture file is written.
  virtual void EncodePicture(FrameBitmap&& frame, const char* picture_path) = 0;
  virtual void WriteResponse(const char* picture_path) = 0;

  // Sharing with simultaneous requests for the same picture. After the encoding: offers the picture
  // to runs that wait for the camera meanwhile; quiet whatever happens, but for memory running out.
  virtual void SharePicture(const char* /*picture_path*/) {}
  // After a failed OpenCapture: answers with the picture another run took while this one waited for
  // the camera, and says whether there was one.
  virtual bool WriteSharedResponse() { return false; }
};

// Exit statuses of a run.
inline constexpr int kRunCompleted = 0;  // a picture was sent, or the capture failed quietly
inline constexpr int kRunFault = 1;      // a fault in any stage; reported on stderr, nothing more sent

// One snapshot from capture to response. The run's files live in tmpdir and are gone when it returns.
// Whatever a stage throws ends the run with one line "stillcam: <stage>: <why>" on stderr and kRunFault.
int RunSnapshot(const SnapshotOptions& options, SnapshotStages& stages, const char* tmpdir);
