// stillcam: one webcam snapshot per CGI request, as a JPEG on standard output.
#include <clocale>

#include "base/platform.h"
#include "cgi/production_stages.h"
#include "cgi/request_options.h"
#include "cgi/run_files.h"
#include "cgi/snapshot_run.h"

// The arguments are never read: web servers pass the words of a query without "=" as arguments,
// so they are the client's, and QUERY_STRING already carries all of it.
int main() {
  // A client that goes away must end the run through its fault path, not kill it silently.
  PrepareProcess();
  // Month names follow the locale the web server gives us; in the usual C locale they are English.
  std::setlocale(LC_TIME, "");
  LoadTimeZone();
  RemoveRunFilesOnTermination();
  ProductionStages stages;
  return RunSnapshot(ReadOptions(), stages, TemporaryFolder());
}
