#include "tests/e2e/web_server_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopTimeout = std::chrono::seconds(15);
constexpr int kReadTimeoutSeconds = 30;

// Closes a socket on every way out.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool ConnectTo(const Socket& socket, int port) {
  sockaddr_in address = Loopback(port);
  return connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::string ToLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t\r");
  return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

HttpResponse ParseResponse(const std::string& raw) {
  size_t head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/", 0) != 0 || head_end == std::string::npos) {
    throw std::runtime_error("not an HTTP response: " + raw.substr(0, 200));
  }
  HttpResponse response;
  response.body = raw.substr(head_end + 4);
  std::string head = raw.substr(0, head_end);
  size_t line_end = head.find("\r\n");
  std::string status_line = head.substr(0, line_end);
  response.status = std::stoi(status_line.substr(status_line.find(' ') + 1, 3));
  while (line_end != std::string::npos) {
    size_t begin = line_end + 2;
    line_end = head.find("\r\n", begin);
    std::string line =
        head.substr(begin, line_end == std::string::npos ? std::string::npos : line_end - begin);
    size_t colon = line.find(':');
    if (colon != std::string::npos)
      response.headers[ToLower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
  }
  return response;
}

bool RunningAsRoot() { return geteuid() == 0; }

// The CGI runs as this unprivileged user when the test runs as root.
constexpr const char* kCgiUser = "www-data";

bool CgiUserExists() { return getpwnam(kCgiUser) != nullptr; }

void MakeFolder(const std::string& path, fs::perms perms) {
  fs::create_directories(path);
  fs::permissions(path, perms);
}

pid_t Spawn(const std::vector<std::string>& argv_strings, const std::string& output_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& s : argv_strings) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  // The servers get a small, fixed environment: nothing of the test's own leaks to the CGI.
  std::vector<std::string> env_strings = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                          "LANG=C"};
  std::vector<char*> envp;
  for (const std::string& s : env_strings) envp.push_back(const_cast<char*>(s.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + argv_strings[0] + ": " + std::strerror(error));
  return pid;
}

// Waits for pid until the deadline; true when it has ended (and was reaped).
bool WaitForExit(pid_t pid, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string LighttpdConfig(const std::string& root, int port, const WebServerOptions& options,
                           const std::map<std::string, std::string>& cgi_environment) {
  std::string config;
  config += "server.bind = \"127.0.0.1\"\n";
  config += "server.port = " + std::to_string(port) + "\n";
  config += "server.document-root = " + Quoted(root + "/htdocs") + "\n";
  config += "server.errorlog = " + Quoted(root + "/logs/error.log") + "\n";
  config += "server.modules = (\"mod_alias\", \"mod_cgi\", \"mod_setenv\", \"mod_accesslog\")\n";
  config += "accesslog.filename = " + Quoted(root + "/logs/access.log") + "\n";
  config += "index-file.names = (\"index.html\")\n";
  config += "mimetype.assign = (\".html\" => \"text/html; charset=utf-8\")\n";
  config += "alias.url = (\"/cgi-bin/\" => " + Quoted(root + "/cgi-bin/") + ")\n";
  config += "$HTTP[\"url\"] =~ \"^/cgi-bin/\" { cgi.assign = (\"\" => \"\") }\n";
  config += "setenv.add-environment = (";
  const char* separator = "";
  for (const auto& [name, value] : cgi_environment) {
    config += separator + Quoted(name) + " => " + Quoted(value);
    separator = ", ";
  }
  config += ")\n";
  if (RunningAsRoot() && CgiUserExists()) {
    config += std::string("server.username = \"") + kCgiUser + "\"\n";
    config += std::string("server.groupname = \"") + kCgiUser + "\"\n";
  }
  config += options.extra_config + "\n";
  return config;
}

std::string ApacheConfig(const std::string& root, int port, const WebServerOptions& options,
                         const std::map<std::string, std::string>& cgi_environment) {
  const std::string modules = "/usr/lib/apache2/modules/";
  std::string config;
  config += "ServerRoot " + Quoted(root) + "\n";
  config += "ServerName 127.0.0.1\n";
  config += "Listen 127.0.0.1:" + std::to_string(port) + "\n";
  config += "PidFile " + Quoted(root + "/logs/apache2.pid") + "\n";
  config += "ErrorLog " + Quoted(root + "/logs/error.log") + "\n";
  config += "LogLevel warn\n";
  config += "CustomLog " + Quoted(root + "/logs/access.log") + " common\n";
  config += "Mutex file:" + root + "/logs default\n";
  for (const char* module : {"mpm_event", "authz_core", "alias", "cgid", "env", "mime", "dir"}) {
    config += std::string("LoadModule ") + module + "_module " + modules + "mod_" + module + ".so\n";
  }
  config += "ScriptSock " + Quoted(root + "/logs/cgid.sock") + "\n";
  if (RunningAsRoot() && CgiUserExists()) {
    config += std::string("User ") + kCgiUser + "\nGroup " + kCgiUser + "\n";
  }
  config += "TypesConfig /dev/null\nAddType \"text/html; charset=utf-8\" .html\n";
  config += "DocumentRoot " + Quoted(root + "/htdocs") + "\n";
  config += "DirectoryIndex index.html\n";
  config += "<Directory " + Quoted(root + "/htdocs") + ">\n  Require all granted\n</Directory>\n";
  config += "ScriptAlias /cgi-bin/ " + Quoted(root + "/cgi-bin/") + "\n";
  config += "<Directory " + Quoted(root + "/cgi-bin") + ">\n  Require all granted\n</Directory>\n";
  for (const auto& [name, value] : cgi_environment) config += "SetEnv " + name + " " + Quoted(value) + "\n";
  config += options.extra_config + "\n";
  return config;
}

// The named logs of a server's folder, one after the other; a log not written yet reads as empty.
std::string ReadLogs(const std::string& folder, std::initializer_list<const char*> names) {
  std::string log;
  for (const char* name : names) {
    try {
      log += ReadFileBytes(folder + name);
    } catch (const std::exception&) {
    }
  }
  return log;
}

}  // namespace

std::string HttpResponse::Header(const std::string& lower_case_name) const {
  auto found = headers.find(lower_case_name);
  return found == headers.end() ? std::string() : found->second;
}

HttpResponse HttpGet(int port, const std::string& target, const std::vector<std::string>& extra_headers) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.fd() < 0) throw std::runtime_error("socket");
  timeval timeout{kReadTimeoutSeconds, 0};
  setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (!ConnectTo(socket, port)) throw std::runtime_error("cannot connect to port " + std::to_string(port));

  std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const std::string& header : extra_headers) request += header + "\r\n";
  request += "\r\n";
  if (send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    throw std::runtime_error("cannot send the request");
  }
  std::string raw;
  char buffer[65536];
  for (;;) {
    ssize_t count = recv(socket.fd(), buffer, sizeof buffer, 0);
    if (count > 0) {
      raw.append(buffer, static_cast<size_t>(count));
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      throw std::runtime_error(std::string("reading the response: ") + std::strerror(errno));
    }
  }
  return ParseResponse(raw);
}

int FreeLoopbackPort() {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  return ntohs(address.sin_port);
}

bool PortAnswers(int port) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return socket.fd() >= 0 && ConnectTo(socket, port);
}

std::vector<pid_t> ProcessesMentioning(const std::string& text) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string command_line;
    try {
      command_line = ReadFileBytes(entry.path().string() + "/cmdline");
    } catch (const std::exception&) {
      continue;  // ended meanwhile
    }
    // A zombie has an empty command line, so only live processes count.
    if (command_line.find(text) != std::string::npos) pids.push_back(std::stoi(name));
  }
  return pids;
}

const char* WebServerName(WebServerKind kind) {
  return kind == WebServerKind::kLighttpd ? "lighttpd" : "apache";
}

WebServer::WebServer(WebServerKind kind, const WebServerOptions& options) : kind_(kind) {
  const std::string& root = folder_.path();
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  const fs::perms readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
  MakeFolder(root + "/cgi-bin", readable);
  MakeFolder(root + "/htdocs", readable);
  MakeFolder(root + "/logs", readable);
  // lighttpd opens its error log after it has become the CGI user.
  if (RunningAsRoot() && CgiUserExists()) {
    const passwd* user = getpwnam(kCgiUser);
    if (chown((root + "/logs").c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::runtime_error("chown logs");
  }
  // The CGI user writes its run files here; sticky, like /tmp.
  MakeFolder(root + "/tmp", fs::perms::all | fs::perms::sticky_bit);
  // A copy, so that the server user needs no access to the build tree.
  fs::copy_file(STILLCAM_BINARY, root + "/cgi-bin/stillcam");
  fs::permissions(root + "/cgi-bin/stillcam", readable);
  if (!options.page_path.empty()) {
    fs::copy_file(options.page_path, root + "/htdocs/index.html");
    fs::permissions(root + "/htdocs/index.html", fs::perms::owner_read | fs::perms::owner_write |
                                                     fs::perms::group_read | fs::perms::others_read);
  }

  const std::string config_path =
      root + (kind == WebServerKind::kLighttpd ? "/lighttpd.conf" : "/apache2.conf");
  // Another process may take the port between the probe and the server's bind: try a few.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    WriteConfig(options, config_path);
    if (kind == WebServerKind::kLighttpd) {
      pid_ = Spawn({"/usr/sbin/lighttpd", "-D", "-f", config_path}, root + "/logs/server.out");
    } else {
      pid_ = Spawn({"/usr/sbin/apache2", "-f", config_path, "-DFOREGROUND"}, root + "/logs/server.out");
    }
    try {
      WaitUntilListening();
      return;
    } catch (const std::exception&) {
      Stop();
      if (attempt == 2) throw;
    }
  }
}

WebServer::~WebServer() {
  try {
    Stop();
  } catch (...) {
  }
}

void WebServer::WriteConfig(const WebServerOptions& options, const std::string& config_path) {
  std::map<std::string, std::string> environment = options.cgi_environment;
  environment.emplace("TMPDIR", cgi_tmpdir());
  WriteFileBytes(config_path, kind_ == WebServerKind::kLighttpd
                                  ? LighttpdConfig(folder_.path(), port_, options, environment)
                                  : ApacheConfig(folder_.path(), port_, options, environment));
}

void WebServer::WaitUntilListening() {
  const auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    if (PortAnswers(port_)) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error(std::string(WebServerName(kind_)) + " ended at start: " + ErrorLog());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error(std::string(WebServerName(kind_)) + " did not listen in time");
}

void WebServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!WaitForExit(pid_, Clock::now() + kStopTimeout)) {
      kill(pid_, SIGKILL);
      WaitForExit(pid_, Clock::now() + kStopTimeout);
    }
    pid_ = -1;
  }
  // Server children (Apache's workers and CGI daemon, CGI runs) end shortly after their parent.
  const auto deadline = Clock::now() + kStopTimeout;
  while (!ProcessesMentioning(folder_.path()).empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string WebServer::Url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(port_) + target;
}

std::string WebServer::ErrorLog() const {
  // lighttpd -D leaves the CGI's stderr on its own, which goes to server.out.
  return ReadLogs(folder_.path(), {"/logs/error.log", "/logs/server.out"});
}

std::string WebServer::AccessLog() const {
  return ReadLogs(folder_.path(), {"/logs/access.log"});  // empty before the first request
}

void WebServer::WaitForCgiRuns() const {
  const auto deadline = Clock::now() + kStopTimeout;
  while (!ProcessesMentioning(folder_.path() + "/cgi-bin/").empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> WebServer::TmpdirEntries() const {
  WaitForCgiRuns();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(cgi_tmpdir())) names.push_back(entry.path().filename());
  return names;
}

CacheFront::CacheFront(const std::string& site_config) {
  const std::string& root = folder_.path();
  // The workers need to reach their cache and temporary folders under root.
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  MakeFolder(root + "/logs", fs::perms::owner_all);
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    std::string site = ReplaceAll(ReplaceAll(site_config, "@PORT@", std::to_string(port_)), "@FOLDER@", root);
    std::string config;
    if (RunningAsRoot() && CgiUserExists()) config += std::string("user ") + kCgiUser + ";\n";
    config += "daemon off;\nworker_processes 1;\n";
    config += "pid " + Quoted(root + "/logs/nginx.pid") + ";\n";
    config += "error_log " + Quoted(root + "/logs/error.log") + " warn;\n";
    config += "events { worker_connections 1024; }\n";
    config += "http {\n";
    config += "access_log " + Quoted(root + "/logs/access.log") + ";\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      config += std::string(temp) + "_temp_path " + Quoted(root + "/" + temp + "_temp") + ";\n";
    config += site + "\n}\n";
    WriteFileBytes(root + "/nginx.conf", config);
    pid_ = Spawn(
        {"/usr/sbin/nginx", "-p", root + "/", "-c", root + "/nginx.conf", "-e", root + "/logs/error.log"},
        root + "/logs/server.out");
    const auto deadline = Clock::now() + kStartTimeout;
    while (Clock::now() < deadline && pid_ > 0 && !PortAnswers(port_)) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pid_ > 0 && PortAnswers(port_)) return;
    Stop();
    if (attempt == 2) throw std::runtime_error("nginx did not start: " + ErrorLog());
  }
}

CacheFront::~CacheFront() {
  try {
    Stop();
  } catch (...) {
  }
}

void CacheFront::Stop() {
  if (pid_ <= 0) return;
  // The master waits for its workers before it ends.
  kill(pid_, SIGTERM);
  if (!WaitForExit(pid_, Clock::now() + kStopTimeout)) {
    kill(pid_, SIGKILL);
    WaitForExit(pid_, Clock::now() + kStopTimeout);
  }
  pid_ = -1;
}

std::string CacheFront::ErrorLog() const {
  return ReadLogs(folder_.path(), {"/logs/error.log", "/logs/server.out"});
}
