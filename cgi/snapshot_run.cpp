#include "cgi/snapshot_run.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

#include "cgi/run_files.h"

namespace {

// Disconnects on every way out of the run, fault paths included; on the normal path the
// disconnect follows the complete response.
class CaptureConnection {
 public:
  explicit CaptureConnection(SnapshotStages& stages) : stages_(stages) {}
  ~CaptureConnection() { stages_.CloseCapture(); }
  CaptureConnection(const CaptureConnection&) = delete;
  CaptureConnection& operator=(const CaptureConnection&) = delete;

 private:
  SnapshotStages& stages_;
};

// Runs one stage; a fault is reported with the stage's name and rethrown to end the run.
template <typename Stage>
decltype(auto) InStage(const char* name, Stage&& stage) {
  try {
    return stage();
  } catch (const std::exception& fault) {
    std::fprintf(stderr, "stillcam: %s: %s\n", name, fault.what());
    throw;
  }
}

}  // namespace

int RunSnapshot(const SnapshotOptions& options, SnapshotStages& stages, const char* tmpdir) {
  std::optional<RunFiles> files;  // declared first so that the files go after the disconnect
  if (!stages.OpenCapture(options)) {
    try {
      InStage("response", [&] { stages.WriteSharedResponse(); });
      return kRunCompleted;
    } catch (const std::exception&) {
      return kRunFault;
    }
  }
  CaptureConnection connection(stages);
  try {
    InStage("temporary files", [&] { files.emplace(tmpdir); });
    if (!stages.TakeFrame(options, files->frame_path())) return kRunCompleted;
    FrameBitmap frame = InStage("load frame", [&] { return stages.LoadFrame(files->frame_path()); });
    if (options.caption) InStage("caption", [&] { stages.DrawCaption(frame, options); });
    InStage("encode picture", [&] { stages.EncodePicture(std::move(frame), files->picture_path()); });
    stages.SharePicture(files->picture_path());
    InStage("response", [&] { stages.WriteResponse(files->picture_path()); });
    return kRunCompleted;
  } catch (const std::exception&) {
    return kRunFault;
  }
}
