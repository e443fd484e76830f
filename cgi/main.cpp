// stillcam: one webcam snapshot per CGI request, as a JPEG on standard output.
#include <fcntl.h>
#include <signal.h>

#include "cgi/production_stages.h"
#include "cgi/request_options.h"
#include "cgi/run_files.h"
#include "cgi/snapshot_run.h"

// A standard stream the server left closed is held by /dev/null opened read-only, so that no file the
// run opens later becomes "stdout" (the response would go into it) or "stderr": writes to it then fail
// with EBADF, exactly as on the closed descriptor.
static void ReserveClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDONLY);  // takes the lowest free number: fd
  }
}

// The arguments are never read: web servers pass the words of a query without "=" as arguments,
// so they are the client's, and QUERY_STRING already carries all of it.
int main() {
  ReserveClosedStandardStreams();
  // A client that goes away must end the run through its fault path, not kill it silently.
  signal(SIGPIPE, SIG_IGN);
  RemoveRunFilesOnTermination();
  ProductionStages stages;
  return RunSnapshot(ReadOptions(), stages, TemporaryFolder());
}
