// stillcam: one webcam snapshot per CGI request, as a JPEG on standard output.
#include <signal.h>

#include "cgi/production_stages.h"
#include "cgi/request_options.h"
#include "cgi/run_files.h"
#include "cgi/snapshot_run.h"

// The arguments are never read: web servers pass the words of a query without "=" as arguments,
// so they are the client's, and QUERY_STRING already carries all of it.
int main() {
  // A client that goes away must end the run through its fault path, not kill it silently.
  signal(SIGPIPE, SIG_IGN);
  RemoveRunFilesOnTermination();
  ProductionStages stages;
  return RunSnapshot(ReadOptions(), stages, TemporaryFolder());
}
