// stillcam: one webcam snapshot per CGI request, as a JPEG on standard output.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "base/platform.h"
#include "cgi/picture_share.h"
#include "cgi/production_stages.h"
#include "cgi/request_options.h"
#include "cgi/settings.h"
#include "cgi/snapshot_run.h"

// The arguments are never read: web servers pass the words of a query without "=" as arguments,
// so they are the client's, and QUERY_STRING already carries all of it.
int main() {
  const int64_t started = ShareClockNow();  // only frames taken later may answer this request
  PrepareProcess();
  try {
    const SnapshotOptions options = ReadOptions();
    // Only the caption reads the clock: month names follow the locale the web server gives us (in
    // the usual C locale, English), the hour its time zone.
    if (options.caption) LoadLocalTimeSettings();
    std::vector<std::string> warnings;
    const Settings settings = ReadSettings(std::getenv, warnings);
    for (const std::string& warning : warnings) std::fprintf(stderr, "stillcam: %s\n", warning.c_str());
    ProductionStages stages(settings, started);
    return RunSnapshot(options, stages, settings.temporary_folder.c_str());
  } catch (const std::exception& fault) {
    // Only memory running out before the run can end here; the run reports its own faults.
    std::fprintf(stderr, "stillcam: start: %s\n", fault.what());
    return kRunFault;
  }
}
