// Micro-benchmarks of the stages a snapshot passes through, at the three frame sizes, on the frame
// the test source takes, so that a regression shows up in the stage that caused it rather than only
// in the whole-process figure.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture/bitmap_info_header.h"
#include "capture/test_source.h"
#include "cgi/request_options.h"
#include "imaging/bmp_reader.h"
#include "imaging/frame_bitmap.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/timestamp_caption.h"

namespace {

SnapshotOptions OptionsFor(const benchmark::State& state) {
  SnapshotOptions options;
  options.frame_width = static_cast<int32_t>(state.range(0));
  options.frame_height = static_cast<int32_t>(state.range(1));
  options.caption = true;
  return options;
}

// The test source, asked for the 16-bit format a run asks for.
class AskedSource {
 public:
  explicit AskedSource(const SnapshotOptions& options) {
    source.SetFormat(RequestedFrameFormat(options.frame_width, options.frame_height));
  }
  std::string failure;
  TestSource source{failure};
};

// A folder of its own for the files the stages write, removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/stage-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchFolder() {
    for (const char* name : {"frame.bmp", "written.bmp", "picture.jpg"}) unlink(File(name).c_str());
    rmdir(path_.c_str());
  }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

const ScratchFolder& Scratch() {
  static const ScratchFolder folder;
  return folder;
}

// A fresh empty file for each iteration, made and removed outside the timing, as a run has its files
// made by mkstemps; rewriting one file over and over would time the file system, not the stage.
class FreshFile {
 public:
  FreshFile(benchmark::State& state, const char* name) : state_(state), path_(Scratch().File(name)) {
    state_.PauseTiming();
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    state_.ResumeTiming();
  }
  ~FreshFile() {
    state_.PauseTiming();
    unlink(path_.c_str());
    state_.ResumeTiming();
  }
  FreshFile(const FreshFile&) = delete;
  FreshFile& operator=(const FreshFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  benchmark::State& state_;
  std::string path_;
};

// The frame file as the capture stage leaves it.
std::string FrameFile(const SnapshotOptions& options) {
  std::string path = Scratch().File("frame.bmp");
  AskedSource asked(options);
  TestSource& source = asked.source;
  if (!source.Grab() || !source.SaveFrame(path.c_str())) std::abort();
  return path;
}

void TestSourceGrab(benchmark::State& state) {
  AskedSource asked(OptionsFor(state));
  TestSource& source = asked.source;
  for (auto _ : state) {
    if (!source.Grab()) state.SkipWithError("grab failed");
  }
}

void BmpWrite(benchmark::State& state) {
  AskedSource asked(OptionsFor(state));
  TestSource& source = asked.source;
  if (!source.Grab()) state.SkipWithError("grab failed");
  for (auto _ : state) {
    FreshFile file(state, "written.bmp");
    if (!source.SaveFrame(file.path())) state.SkipWithError("save failed");
  }
}

void BmpLoad(benchmark::State& state) {
  std::string path = FrameFile(OptionsFor(state));
  for (auto _ : state) benchmark::DoNotOptimize(LoadFrameBitmap(path.c_str()));
}

// The clock, the glyphs and the drawing: everything a run's caption costs.
void Caption(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  FrameBitmap frame = LoadFrameBitmap(FrameFile(options).c_str());
  for (auto _ : state) {
    DrawTimestampCaption(frame, options.frame_height, options.bold, {});
    benchmark::ClobberMemory();
  }
}

// The same caption from a font file named by the administrator: FreeType loaded, the font mapped and
// every glyph rendered, as a run with STILLCAM_FONT (or a month name beyond the built-in glyphs) does.
void CaptionFromFontFile(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  FrameBitmap frame = LoadFrameBitmap(FrameFile(options).c_str());
  const NamedFonts fonts{"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", ""};
  for (auto _ : state) {
    DrawTimestampCaption(frame, options.frame_height, options.bold, fonts);
    benchmark::ClobberMemory();
  }
}

void Encode(benchmark::State& state) {
  FrameBitmap frame = LoadFrameBitmap(FrameFile(OptionsFor(state)).c_str());
  for (auto _ : state) {
    FreshFile file(state, "picture.jpg");
    EncodeJpegFile(frame, file.path());
  }
}

void FrameSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Args({160, 120})->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(TestSourceGrab)->Apply(FrameSizes);
BENCHMARK(BmpWrite)->Apply(FrameSizes);
BENCHMARK(BmpLoad)->Apply(FrameSizes);
BENCHMARK(Caption)->Apply(FrameSizes);
BENCHMARK(CaptionFromFontFile)->Args({640, 480})->Unit(benchmark::kMicrosecond);
BENCHMARK(Encode)->Apply(FrameSizes);

BENCHMARK_MAIN();
