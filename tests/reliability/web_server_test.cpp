// stillcam behind a real lighttpd on 127.0.0.1: clients that go away at any moment, and a load of
// concurrent clients. The server must survive, every run must end in the designed way, every
// picture must be the one its request asked for, and no file may be left behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/web_server_fixture.h"
#include "tests/reliability/reliability_support.h"
#include "tests/support/jpeg_decode.h"

namespace {

using Clock = std::chrono::steady_clock;

// A client that sends a request and then leaves after reading some bytes of the answer; with a reset
// (SO_LINGER 0) it leaves abruptly, otherwise with an orderly close.
void LeavingClient(int port, const std::string& target, size_t read_before_leaving, int pause_ms,
                   bool reset) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  size_t got = 0;
  char buffer[256];
  while (got < read_before_leaving) {
    ssize_t count = recv(fd, buffer, std::min(sizeof buffer, read_before_leaving - got), 0);
    if (count <= 0) break;
    got += static_cast<size_t>(count);
  }
  if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  if (reset) {
    linger abrupt{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  }
  close(fd);
}

// Lines of the server's error log that the CGI wrote and that are not stillcam's own one-line reports.
std::string ForeignLogLines(const std::string& log) {
  std::istringstream lines(log);
  std::string foreign;
  for (std::string line_read; std::getline(lines, line_read);) {
    for (const char* alarm :
         {"Sanitizer", "runtime error", "Segmentation", "Aborted", "core dumped", "terminate called"}) {
      if (line_read.find(alarm) != std::string::npos) foreign += line_read + "\n";
    }
  }
  return foreign;
}

std::string CheckPicture(const HttpResponse& response, int width, int height) {
  if (response.status != 200) return "status " + std::to_string(response.status);
  if (response.Header("content-type") != "image/jpg")
    return "content-type " + response.Header("content-type");
  DecodedJpeg picture = DecodeJpeg(response.body);
  if (!picture.ok)
    return "incomplete picture (" + std::to_string(response.body.size()) + " bytes): " + picture.error;
  if (picture.width != width || picture.height != height) {
    return "picture is " + std::to_string(picture.width) + "x" + std::to_string(picture.height);
  }
  return "";
}

TEST(WebServerReliability, ClientsLeavingAtAnyMomentDoNotHurtTheServer) {
  // lighttpd 1.4 reads the whole response of a run before it writes to the client, so a leaving
  // client does not reach the run; either way the server must carry on and nothing may be left.
  WebServer server(WebServerKind::kLighttpd, {});
  int clients = 0;
  // Leaving right after the request, inside the HTTP header, inside the CGI's own header and in the
  // picture; abruptly and politely; at once and after a pause, so that the leave falls before,
  // during and after the run.
  for (const char* query : {"large&boldtimestamp", "medium"}) {
    for (size_t read_count : {0, 5, 60, 300}) {
      for (int pause_ms : {0, 3, 30}) {
        for (bool reset : {true, false}) {
          LeavingClient(server.port(), std::string("/cgi-bin/stillcam?") + query, read_count, pause_ms,
                        reset);
          ++clients;
        }
      }
    }
  }
  // The server still serves, and nothing of the abandoned runs is left.
  EXPECT_EQ(CheckPicture(HttpGet(server.port(), "/cgi-bin/stillcam?large&timestamp"), 640, 480), "");
  EXPECT_EQ(server.TmpdirEntries(), std::vector<std::string>{}) << "after " << clients << " leaving clients";
  EXPECT_TRUE(ProcessesMentioning(server.folder() + "/cgi-bin/").empty()) << "a run is still alive";
  const std::string log = server.ErrorLog();
  EXPECT_EQ(ForeignLogLines(log), "");
  // A run may find the pipe closed if the server drops it with the client (the response fault path);
  // any other fault is not the leave's doing.
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("stillcam: ") != std::string::npos) {
      EXPECT_NE(line.find("stillcam: response: "), std::string::npos)
          << "a run ended in another fault: " << line;
    }
  }
}

// A 24-bit BMP of noise: its JPEG is megabytes, far more than the pipe and socket buffers between
// the run and a client that does not read.
std::string NoiseFrameFile(int width, int height) {
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  const auto pixel_bytes = static_cast<uint32_t>(stride * static_cast<size_t>(height));
  std::string file(54 + pixel_bytes, '\0');
  auto put32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(value >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, 54 + pixel_bytes);
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(width));
  put32(22, static_cast<uint32_t>(height));
  file[26] = 1;
  file[28] = 24;
  uint32_t state = 12345;
  for (size_t i = 54; i < file.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    file[i] = static_cast<char>(state >> 24);
  }
  return file;
}

TEST(WebServerReliability, ServerEndsARunStuckOnAClientThatDoesNotRead) {
  // lighttpd streaming the response holds the run back to the client's pace; a client that reads
  // nothing leaves the run blocked in its response with both files live, until lighttpd's CGI read
  // timeout ends it with SIGTERM. The run's files must go with it.
  TempFolder frames;
  std::filesystem::permissions(frames.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::string frame = frames.path() + "/noise.bmp";
  WriteFileBytes(frame, NoiseFrameFile(4000, 3000));
  std::filesystem::permissions(frame, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  WebServerOptions options;
  options.cgi_environment = {{"STILLCAM_DEVICE", "file:" + frame}};
  options.extra_config = "server.stream-response-body = 2\nserver.max-write-idle = 2";
  WebServer server(WebServerKind::kLighttpd, options);

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(server.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET /cgi-bin/stillcam?large HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));

  // Wait for the run's files to appear, then for the server to give up on the run.
  bool files_seen = false;
  bool timed_out = false;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline && !timed_out) {
    const std::vector<pid_t> runs = ProcessesMentioning(server.folder() + "/cgi-bin/");
    for (pid_t run : runs) files_seen |= FilesHeldIn(run, server.cgi_tmpdir()).size() == 2;
    timed_out = files_seen && runs.empty();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(fd);
  EXPECT_TRUE(files_seen) << "the run's files never appeared";
  ASSERT_TRUE(timed_out) << "lighttpd never ended the run:\n" << server.ErrorLog();
  EXPECT_EQ(server.TmpdirEntries(), std::vector<std::string>{});
  EXPECT_TRUE(ProcessesMentioning(server.folder() + "/cgi-bin/").empty()) << "the run outlived its SIGTERM";
  EXPECT_EQ(ForeignLogLines(server.ErrorLog()), "");
  // lighttpd ends the run with SIGTERM; a run that found the pipe closed first says so in the log.
  std::printf("stuck run ended %s\n", server.ErrorLog().find("stillcam: response: ") == std::string::npos
                                          ? "by the server's SIGTERM"
                                          : "in its response fault path");
}

struct LoadQuery {
  const char* keywords;
  int width;
  int height;
  bool caption;
};

constexpr LoadQuery kLoadQueries[] = {
    {"", 160, 120, false},
    {"timestamp", 160, 120, true},
    {"medium", 320, 240, false},
    {"medium&boldtimestamp", 320, 240, true},
    {"large", 640, 480, false},
    {"large&timestamp", 640, 480, true},
    {"large&boldtimestamp", 640, 480, true},
};

// Pixels that differ between two decoded pictures of one size, in rows [first_row, last_row).
long DifferingPixels(const DecodedJpeg& a, const DecodedJpeg& b, int first_row, int last_row) {
  long count = 0;
  for (int y = first_row; y < last_row; ++y) {
    for (int x = 0; x < a.width; ++x) count += a.At(x, y) != b.At(x, y);
  }
  return count;
}

TEST(WebServerReliability, SixteenConcurrentClientsGetTheirOwnPictures) {
  constexpr int kClients = 16;
  constexpr int kRequestsPerClient = 21;  // 336 in all
  WebServer server(WebServerKind::kLighttpd, {});

  // Each query's picture fetched alone is the reference its answers under load are held to.
  std::map<std::string, DecodedJpeg> references;
  std::map<std::string, std::string> reference_bodies;
  for (const LoadQuery& query : kLoadQueries) {
    HttpResponse alone = HttpGet(server.port(), std::string("/cgi-bin/stillcam?") + query.keywords);
    ASSERT_EQ(CheckPicture(alone, query.width, query.height), "") << query.keywords;
    references[query.keywords] = DecodeJpeg(alone.body);
    reference_bodies[query.keywords] = alone.body;
  }

  std::mutex failures_lock;
  std::vector<std::string> failures;
  std::atomic<int> completed{0};
  auto client = [&](int client_number) {
    for (int i = 0; i < kRequestsPerClient; ++i) {
      const LoadQuery& query = kLoadQueries[(client_number + i) % std::size(kLoadQueries)];
      // The keywords come first; the tag only makes every request distinct.
      const std::string target = std::string("/cgi-bin/stillcam?") + query.keywords +
                                 "&client=" + std::to_string(client_number) + "-" + std::to_string(i);
      std::string problem;
      try {
        HttpResponse response = HttpGet(server.port(), target);
        problem = CheckPicture(response, query.width, query.height);
        if (problem.empty() && !query.caption && response.body != reference_bodies[query.keywords]) {
          problem = "not the picture of its query";
        }
        if (problem.empty() && query.caption) {
          // Only the caption band (the bottom 48 rows: the caption's two rows of 16-pixel blocks and
          // one more, which the decoder's chroma upsampling reaches) may differ from the reference:
          // the time in it may have moved on. The band must carry a caption, and the
          // caption of its own weight: closer to its own reference than to the other weight's.
          DecodedJpeg picture = DecodeJpeg(response.body);
          const DecodedJpeg& own = references[query.keywords];
          const int band = query.height - 48;
          std::string other_weight = query.keywords;
          other_weight = other_weight.find("bold") != std::string::npos
                             ? other_weight.replace(other_weight.find("boldtimestamp"), 13, "timestamp")
                             : other_weight.replace(other_weight.find("timestamp"), 9, "boldtimestamp");
          const std::string plain = query.width == 160 ? "" : (query.width == 320 ? "medium" : "large");
          if (DifferingPixels(picture, own, 0, band) != 0) {
            problem = "differs from its query's picture above the caption";
          } else if (response.body == reference_bodies[plain]) {
            problem = "carries no caption";
          } else if (references.count(other_weight) != 0 &&
                     DifferingPixels(picture, own, band, query.height) >=
                         DifferingPixels(picture, references[other_weight], band, query.height)) {
            problem = "carries the caption of the other weight";
          }
        }
      } catch (const std::exception& error) {
        problem = error.what();
      }
      if (!problem.empty()) {
        std::lock_guard<std::mutex> hold(failures_lock);
        failures.push_back(target + ": " + problem);
      }
      ++completed;
    }
  };

  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(client, c);
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  EXPECT_EQ(completed.load(), kClients * kRequestsPerClient);
  EXPECT_TRUE(failures.empty()) << failures.size() << " bad answers, the first: " << failures.front();
  EXPECT_EQ(server.TmpdirEntries(), std::vector<std::string>{});
  EXPECT_EQ(ForeignLogLines(server.ErrorLog()), "");
  const double rate = completed.load() / seconds;
  std::printf("load: %d clients, %d requests in %.2f s: %.0f requests/s through lighttpd\n", kClients,
              completed.load(), seconds, rate);
  RecordProperty("requests_per_second", static_cast<int>(rate));
}

}  // namespace
