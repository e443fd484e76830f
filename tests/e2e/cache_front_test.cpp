// The cache in front of the camera host, exactly as the README configures it: nginx with proxy_cache
// and proxy_cache_lock before lighttpd running stillcam, everything on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <latch>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/web_server_fixture.h"
#include "tests/imaging/bmp_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("the README's cache configuration has no " + from);
  return text.replace(at, from.size(), to);
}

// The nginx block of the README's "Past one host", pointed at the test's servers.
std::string ReadmeCacheConfig(int camera_port) {
  const std::string readme = ReadFileBytes(STILLCAM_SOURCE_DIR "/README.md");
  const size_t section = readme.find("\n## Past one host\n");
  const size_t begin = readme.find("```nginx\n", section);
  const size_t end = readme.find("\n```\n", begin);
  if (section == std::string::npos || begin == std::string::npos || end == std::string::npos)
    throw std::runtime_error("README.md has no nginx block under \"Past one host\"");
  std::string config = readme.substr(begin + 9, end - begin - 9);
  config = Replaced(config, "/var/cache/nginx/stillcam", "@FOLDER@/cache");
  config = Replaced(config, "listen 80;", "listen 127.0.0.1:@PORT@;");
  return Replaced(config, "192.0.2.10:80", "127.0.0.1:" + std::to_string(camera_port));
}

// Requests for the program in the camera server's access log whose query contains text.
int RunsAsking(const std::string& access_log, const std::string& text) {
  std::istringstream lines(access_log);
  int runs = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t target = line.find("/cgi-bin/stillcam?");
    if (target != std::string::npos && line.find(text, target) != std::string::npos) ++runs;
  }
  return runs;
}

std::string PictureFault(const HttpResponse& response, int width, int height) {
  if (response.status != 200) return "status " + std::to_string(response.status);
  DecodedJpeg picture = DecodeJpeg(response.body);
  if (!picture.ok)
    return "no whole picture (" + std::to_string(response.body.size()) + " bytes): " + picture.error;
  if (picture.width != width || picture.height != height)
    return "a picture of " + std::to_string(picture.width) + "x" + std::to_string(picture.height);
  return "";
}

TEST(CacheFront, SimultaneousViewersAreServedFromAFewRuns) {
  WebServer camera_host(WebServerKind::kLighttpd, {});
  CacheFront cache(ReadmeCacheConfig(camera_host.port()));

  // Every fifth viewer asks for another size; each has its own cache-busting counter, as the page does.
  constexpr int kViewers = 50;
  auto target = [](int viewer) {
    return std::string("/cgi-bin/stillcam?") + (viewer % 5 == 0 ? "medium" : "large&timestamp") +
           "&t=" + std::to_string(1765400000000 + viewer);
  };
  std::vector<std::string> faults(kViewers);
  std::latch start(kViewers);
  std::vector<std::thread> viewers;
  for (int viewer = 0; viewer < kViewers; ++viewer) {
    viewers.emplace_back([&, viewer] {
      start.arrive_and_wait();
      try {
        const bool medium = viewer % 5 == 0;
        faults[viewer] =
            PictureFault(HttpGet(cache.port(), target(viewer)), medium ? 320 : 640, medium ? 240 : 480);
      } catch (const std::exception& error) {
        faults[viewer] = error.what();
      }
    });
  }
  for (std::thread& viewer : viewers) viewer.join();
  for (int viewer = 0; viewer < kViewers; ++viewer) EXPECT_EQ(faults[viewer], "") << target(viewer);

  // Past the picture's second in the cache, a viewer gets a new picture, not the kept one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const HttpResponse later = HttpGet(cache.port(), target(kViewers + 1));
  EXPECT_EQ(PictureFault(later, 640, 480), "");
  EXPECT_NE(later.Header("x-cache-status"), "HIT");

  cache.Stop();
  camera_host.Stop();  // the access log is complete once lighttpd has ended
  const std::string log = camera_host.AccessLog();
  const int large_runs = RunsAsking(log, "large");
  const int medium_runs = RunsAsking(log, "medium");
  std::printf("%d viewers and 1 later: %d runs for large, %d for medium\n", kViewers, large_runs,
              medium_runs);
  EXPECT_GE(medium_runs, 1);
  EXPECT_GE(large_runs, 2) << "the later viewer was served from the cache";
  EXPECT_LE(large_runs + medium_runs, kViewers / 5) << log;
}

TEST(CacheFront, AFailedCaptureIsNotKept) {
  // The frame file is missing at first, so the camera host fails; once it is there, the very next
  // request must reach the camera host again instead of being given the kept error.
  TempFolder frames;
  std::filesystem::permissions(frames.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::string frame = frames.path() + "/frame.bmp";
  WebServerOptions options;
  options.cgi_environment["STILLCAM_DEVICE"] = "file:" + frame;
  WebServer camera_host(WebServerKind::kLighttpd, options);
  CacheFront cache(ReadmeCacheConfig(camera_host.port()));

  EXPECT_NE(HttpGet(cache.port(), "/cgi-bin/stillcam?medium&t=1").status, 200);
  BmpFixture bmp;
  bmp.width = 320;
  bmp.height = 240;
  bmp.pixels = Uniform(320, 240, 0x336699);
  WriteFileBytes(frame, MakeBmp(bmp));
  std::filesystem::permissions(frame, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  const HttpResponse after = HttpGet(cache.port(), "/cgi-bin/stillcam?medium&t=2");
  EXPECT_EQ(after.status, 200) << cache.ErrorLog();
  EXPECT_EQ(PictureFault(after, 320, 240), "");
}

}  // namespace
