// The server blocks of the README's deployment sections, run as they stand in real servers on
// 127.0.0.1: pasted as printed (the device line commented out), /webcam leads to the page; with the
// device line switched on, the program answers with a picture. README.Debian prints the same blocks.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/e2e/web_server_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kExampleDeviceLine = "/dev/v4l/by-id/usb-Example_Webcam-video-index0";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
  if (text.find(from) == std::string::npos) throw std::runtime_error("the block has no " + from);
  return ReplaceAll(text, from, to);
}

// The text between begin and end that follows the heading in the README.
std::string ReadmeBlock(const std::string& heading, const std::string& begin, const std::string& end) {
  const std::string readme = ReadFileBytes(STILLCAM_SOURCE_DIR "/README.md");
  const size_t section = readme.find("\n" + heading + "\n");
  const size_t from = readme.find(begin, section);
  const size_t to = readme.find(end, from + begin.size());
  if (section == std::string::npos || from == std::string::npos || to == std::string::npos)
    throw std::runtime_error("README.md has no block under " + heading);
  return readme.substr(from + begin.size(), to - from - begin.size());
}

std::string ApacheBlock() { return ReadmeBlock("### Apache", "<<'CONF'\n", "\nCONF\n"); }
std::string LighttpdBlock() { return ReadmeBlock("### lighttpd", "<<'CONF'\n", "\nCONF\n"); }
std::string NginxBlock() { return ReadmeBlock("### nginx", "```nginx\n", "\n```\n"); }

// A copy of the page where a server's user can read it, standing in for /usr/share/stillcam.
class PageFolder {
 public:
  PageFolder() {
    fs::permissions(folder_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(STILLCAM_SOURCE_DIR "/web/index.html", path() + "/index.html");
    fs::permissions(path() + "/index.html", fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
  }
  const std::string& path() const { return folder_.path(); }

 private:
  TempFolder folder_;
};

// fcgiwrap on a socket of its own, as the web server's user where the test runs as root.
class FcgiWrap {
 public:
  FcgiWrap() {
    fs::permissions(folder_.path(), fs::perms::all);
    fs::copy_file(STILLCAM_BINARY, program());
    fs::permissions(program(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    const passwd* user = geteuid() == 0 ? getpwnam("www-data") : nullptr;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      if (user && (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0))
        _exit(126);
      const std::string socket_url = "unix:" + socket();
      execl("/usr/sbin/fcgiwrap", "fcgiwrap", "-s", socket_url.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(socket()) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!fs::exists(socket())) throw std::runtime_error("fcgiwrap made no socket");
  }
  ~FcgiWrap() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  FcgiWrap(const FcgiWrap&) = delete;
  FcgiWrap& operator=(const FcgiWrap&) = delete;
  std::string socket() const { return folder_.path() + "/fcgiwrap.socket"; }
  std::string program() const { return folder_.path() + "/stillcam"; }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
};

// One of the README's servers running its block: as pasted, or with the device line switched on to
// the built-in test picture (the one change an administrator makes to it).
class DeployedServer {
 public:
  virtual ~DeployedServer() = default;
  virtual int port() const = 0;
  virtual std::string Log() const = 0;
};

class ReadmeWebServer : public DeployedServer {
 public:
  ReadmeWebServer(WebServerKind kind, const std::string& block) : server_(kind, Options(block)) {}
  int port() const override { return server_.port(); }
  std::string Log() const override { return server_.ErrorLog(); }

 private:
  WebServerOptions Options(const std::string& block) {
    WebServerOptions options;
    options.cgi_environment.clear();  // only what the block sets
    options.extra_config = ReplaceAll(block, "/usr/share/stillcam", page_.path());
    return options;
  }
  PageFolder page_;
  WebServer server_;
};

class ReadmeNginx : public DeployedServer {
 public:
  explicit ReadmeNginx(const std::string& block) : nginx_(Site(block)) {}
  int port() const override { return nginx_.port(); }
  std::string Log() const override { return nginx_.ErrorLog(); }

 private:
  std::string Site(std::string block) {
    block = Replaced(block, "include fastcgi_params;", "include /etc/nginx/fastcgi_params;");
    block = Replaced(block, "/usr/lib/cgi-bin/stillcam", fcgiwrap_.program());
    block = Replaced(block, "unix:/run/fcgiwrap.socket", "unix:" + fcgiwrap_.socket());
    block = Replaced(block, "/usr/share/stillcam/", page_.path() + "/");
    // Debian's nginx.conf brings the MIME types; the site block is the README's.
    return "include /etc/nginx/mime.types;\nserver {\n    listen 127.0.0.1:@PORT@;\n" + block + "\n}\n";
  }
  PageFolder page_;
  FcgiWrap fcgiwrap_;
  CacheFront nginx_;
};

enum class Server { kApache, kLighttpd, kNginx };

const char* Name(Server server) {
  return server == Server::kApache ? "apache" : server == Server::kLighttpd ? "lighttpd" : "nginx";
}
void PrintTo(Server server, std::ostream* out) { *out << Name(server); }

std::string Block(Server server) {
  switch (server) {
    case Server::kApache:
      return ApacheBlock();
    case Server::kLighttpd:
      return LighttpdBlock();
    case Server::kNginx:
      return NginxBlock();
  }
  return "";
}

// The block with its device line switched on, naming the test picture.
std::string WithTestDevice(Server server) {
  switch (server) {
    case Server::kApache:
      return Replaced(Block(server), std::string("#SetEnv STILLCAM_DEVICE ") + kExampleDeviceLine,
                      "SetEnv STILLCAM_DEVICE test");
    case Server::kLighttpd: {
      std::string block = Replaced(Block(server), "#$HTTP[\"url\"]", "$HTTP[\"url\"]");
      block = Replaced(block, "#\tsetenv.add-environment", "\tsetenv.add-environment");
      block = Replaced(block, "\n#}", "\n}");
      return Replaced(block, kExampleDeviceLine, "test");
    }
    case Server::kNginx:
      return Replaced(Block(server), std::string("#fastcgi_param STILLCAM_DEVICE ") + kExampleDeviceLine,
                      "fastcgi_param STILLCAM_DEVICE test");
  }
  return "";
}

std::unique_ptr<DeployedServer> Start(Server server, const std::string& block) {
  switch (server) {
    case Server::kApache:
      return std::make_unique<ReadmeWebServer>(WebServerKind::kApache, block);
    case Server::kLighttpd:
      return std::make_unique<ReadmeWebServer>(WebServerKind::kLighttpd, block);
    case Server::kNginx:
      return std::make_unique<ReadmeNginx>(block);
  }
  return nullptr;
}

class Deployment : public testing::TestWithParam<Server> {};

TEST_P(Deployment, AsPastedTheWebcamAddressLeadsToThePage) {
  std::unique_ptr<DeployedServer> server = Start(GetParam(), Block(GetParam()));

  HttpResponse bare = HttpGet(server->port(), "/webcam");
  EXPECT_EQ(bare.status, 301) << server->Log();
  const std::string location = bare.Header("location");
  EXPECT_TRUE(location.size() >= 8 && location.compare(location.size() - 8, 8, "/webcam/") == 0) << location;

  HttpResponse page = HttpGet(server->port(), "/webcam/");
  EXPECT_EQ(page.status, 200) << server->Log();
  EXPECT_EQ(page.body, ReadFileBytes(STILLCAM_SOURCE_DIR "/web/index.html"));
}

TEST_P(Deployment, WithTheDeviceLineSwitchedOnTheProgramAnswers) {
  std::unique_ptr<DeployedServer> server = Start(GetParam(), WithTestDevice(GetParam()));
  HttpResponse snapshot = HttpGet(server->port(), "/cgi-bin/stillcam?medium&timestamp&t=1");
  ASSERT_EQ(snapshot.status, 200) << server->Log();
  EXPECT_EQ(snapshot.Header("content-type"), "image/jpg");
  DecodedJpeg picture = DecodeJpeg(snapshot.body);
  EXPECT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, 320);
  EXPECT_EQ(picture.height, 240);
}

TEST_P(Deployment, ReadmeDebianPrintsTheSameBlock) {
  const std::string readme_debian = ReadFileBytes(STILLCAM_SOURCE_DIR "/debian/README.Debian");
  EXPECT_NE(readme_debian.find(Block(GetParam())), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Servers, Deployment,
                         testing::Values(Server::kApache, Server::kLighttpd, Server::kNginx),
                         [](const testing::TestParamInfo<Server>& server) { return Name(server.param); });

}  // namespace
