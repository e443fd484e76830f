#pragma once

// Real web servers on 127.0.0.1 running the built stillcam through CGI, for end-to-end and load tests.
// Each server gets its own folder (configuration, logs, document root, cgi-bin with a copy of the
// binary, and the CGI's TMPDIR) so that nothing depends on where the source tree lives or who may
// read it. Started as root, the servers run the CGI as www-data, as a Debian installation does.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lower_case_name) const;
};

// One GET over a fresh HTTP/1.0 connection to 127.0.0.1:port; throws when the server does not answer.
HttpResponse HttpGet(int port, const std::string& target, const std::vector<std::string>& extra_headers = {});

// A loopback port that nothing listened on a moment ago.
int FreeLoopbackPort();

// True while 127.0.0.1:port accepts connections.
bool PortAnswers(int port);

// Pids of the live processes whose command line mentions text (a server folder, say).
std::vector<pid_t> ProcessesMentioning(const std::string& text);

enum class WebServerKind { kLighttpd, kApache };
const char* WebServerName(WebServerKind kind);

struct WebServerOptions {
  // The CGI's environment as the administrator would set it; TMPDIR is the server folder's tmp/
  // unless given here.
  std::map<std::string, std::string> cgi_environment = {{"STILLCAM_DEVICE", "test"}};
  // Served at / when not empty.
  std::string page_path;
  // Configuration appended verbatim (in the server's own syntax).
  std::string extra_config;
};

class WebServer {
 public:
  WebServer(WebServerKind kind, const WebServerOptions& options);
  ~WebServer();  // stops the server and waits until none of its processes is left
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& target) const;
  const std::string& folder() const { return folder_.path(); }
  std::string cgi_tmpdir() const { return folder_.path() + "/tmp"; }
  // What the server logged, with what the CGI wrote on stderr.
  std::string ErrorLog() const;
  // One line per request the server answered (complete once the server has stopped).
  std::string AccessLog() const;
  // Waits until no CGI run of this server is alive: a server may answer before its CGI has ended.
  void WaitForCgiRuns() const;
  // Entries left in the CGI's TMPDIR once every CGI run has ended.
  std::vector<std::string> TmpdirEntries() const;
  void Stop();

 private:
  void WriteConfig(const WebServerOptions& options, const std::string& config_path);
  void WaitUntilListening();

  WebServerKind kind_;
  TempFolder folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// nginx on 127.0.0.1 as a caching proxy in front of a web server. site_config is what a Debian
// administrator puts in /etc/nginx/conf.d/ (http level); the fixture wraps it in a main configuration
// with its own folder for logs, temporary files and the pid file. Started as root, nginx's workers
// run as www-data.
class CacheFront {
 public:
  // In site_config, "@PORT@" stands for the port nginx is to listen on and "@FOLDER@" for its folder.
  explicit CacheFront(const std::string& site_config);
  ~CacheFront();  // stops nginx and waits for it
  CacheFront(const CacheFront&) = delete;
  CacheFront& operator=(const CacheFront&) = delete;

  int port() const { return port_; }
  const std::string& folder() const { return folder_.path(); }
  std::string ErrorLog() const;
  void Stop();

 private:
  TempFolder folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};
