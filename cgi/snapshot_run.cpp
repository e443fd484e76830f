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

// Thrown on to end the run once a stage's fault has been reported.
struct ReportedFault {};

// Runs one stage; a fault is reported with the stage's name and ends the run.
template <typename Stage>
decltype(auto) InStage(const char* name, Stage&& stage) {
  try {
    return stage();
  } catch (const std::exception& fault) {
    std::fprintf(stderr, "stillcam: %s: %s\n", name, fault.what());
  } catch (...) {
    std::fprintf(stderr, "stillcam: %s: unknown fault\n", name);
  }
  throw ReportedFault{};
}

}  // namespace

int RunSnapshot(const SnapshotOptions& options, SnapshotStages& stages, const char* tmpdir) {
  try {
    std::optional<RunFiles> files;  // declared first so that the files go after the disconnect
    if (!InStage("capture", [&] { return stages.OpenCapture(options); })) {
      InStage("response", [&] { stages.WriteSharedResponse(); });
      return kRunCompleted;
    }
    CaptureConnection connection(stages);
    InStage("temporary files", [&] { files.emplace(tmpdir); });
    if (!InStage("capture", [&] { return stages.TakeFrame(options, files->frame_path()); }))
      return kRunCompleted;
    FrameBitmap frame = InStage("load frame", [&] { return stages.LoadFrame(files->frame_path()); });
    if (options.caption) InStage("caption", [&] { stages.DrawCaption(frame, options); });
    InStage("encode picture", [&] { stages.EncodePicture(std::move(frame), files->picture_path()); });
    InStage("share picture", [&] { stages.SharePicture(files->picture_path()); });
    InStage("response", [&] { stages.WriteResponse(files->picture_path()); });
    return kRunCompleted;
  } catch (const ReportedFault&) {
    return kRunFault;
  }
}
