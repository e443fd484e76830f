// Micro-benchmarks of the stages a snapshot passes through, at the three frame sizes, so that a
// regression shows up in the stage that caused it rather than only in the whole-process figure.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cgi/request_options.h"
#include "imaging/bmp_reader.h"
#include "imaging/bmp_writer.h"
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

// A 16-bit (5-5-5) frame with bars and a ramp, as a capture source hands it over.
std::vector<uint8_t> Frame555(int32_t width, int32_t height) {
  std::vector<uint8_t> rows(static_cast<size_t>(width) * height * 2);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      auto bar = static_cast<uint16_t>(x * 8 / width);
      uint16_t red = (bar & 1) ? 31 : 0;
      uint16_t green = (bar & 2) ? 31 : static_cast<uint16_t>(y * 31 / height);
      uint16_t blue = (bar & 4) ? 31 : 0;
      uint16_t pixel = static_cast<uint16_t>(red << 10 | green << 5 | blue);
      size_t at = (static_cast<size_t>(y) * width + x) * 2;
      rows[at] = static_cast<uint8_t>(pixel);
      rows[at + 1] = static_cast<uint8_t>(pixel >> 8);
    }
  }
  return rows;
}

// A folder of its own for the files the stages write, removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/stage-bench-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchFolder() {
    unlink((path_ + "/frame.bmp").c_str());
    unlink((path_ + "/written.bmp").c_str());
    unlink((path_ + "/picture.jpg").c_str());
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

// A frame file as the capture stage leaves it, loaded as the run loads it.
FrameBitmap LoadedFrame(int32_t width, int32_t height) {
  std::vector<uint8_t> rows = Frame555(width, height);
  BmpPixels pixels{width, height, 16, rows.data(), static_cast<size_t>(width) * 2, true};
  std::string path = Scratch().File("frame.bmp");
  if (!WriteBmpFile(path.c_str(), pixels)) std::abort();
  return LoadFrameBitmap(path.c_str());
}

// A fresh empty file for each iteration, made and removed outside the timing, as the run has its
// files made by mkstemps: rewriting one file over and over would measure ext4's flush on truncation
// of a file with data, which a run never meets.
class FreshFile {
 public:
  explicit FreshFile(benchmark::State& state, const char* name) : state_(state), path_(Scratch().File(name)) {
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

void BmpWrite(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  std::vector<uint8_t> rows = Frame555(options.frame_width, options.frame_height);
  BmpPixels pixels{options.frame_width, options.frame_height, 16, rows.data(),
                   static_cast<size_t>(options.frame_width) * 2, true};
  for (auto _ : state) {
    FreshFile file(state, "written.bmp");
    if (!WriteBmpFile(file.path(), pixels)) state.SkipWithError("WriteBmpFile failed");
  }
}

void BmpLoad(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  LoadedFrame(options.frame_width, options.frame_height);
  std::string path = Scratch().File("frame.bmp");
  for (auto _ : state) benchmark::DoNotOptimize(LoadFrameBitmap(path.c_str()));
}

void Caption(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  FrameBitmap frame = LoadedFrame(options.frame_width, options.frame_height);
  for (auto _ : state) {
    DrawTimestampCaption(frame, options);
    benchmark::ClobberMemory();
  }
}

void Encode(benchmark::State& state) {
  SnapshotOptions options = OptionsFor(state);
  FrameBitmap frame = LoadedFrame(options.frame_width, options.frame_height);
  for (auto _ : state) {
    FreshFile file(state, "picture.jpg");
    EncodeJpegFile(frame, file.path());
  }
}

void FrameSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Args({160, 120})->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BmpWrite)->Apply(FrameSizes);
BENCHMARK(BmpLoad)->Apply(FrameSizes);
BENCHMARK(Caption)->Apply(FrameSizes);
BENCHMARK(Encode)->Apply(FrameSizes);

BENCHMARK_MAIN();
