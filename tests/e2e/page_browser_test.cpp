// The webcam page in Debian's headless chromium, served with the program by a real lighttpd, at a
// desktop and a phone width. The screenshots stay in the build folder for a person to look at.
#include <gtest/gtest.h>

#include "tests/e2e/web_server_fixture.h"
#include "tests/support/process_runner.h"

namespace {

TEST(PageInBrowser, ShowsSavesAndEnlargesPicturesAndSurvivesAFailingCamera) {
  WebServerOptions options;
  options.page_path = STILLCAM_SOURCE_DIR "/web/index.html";
  // The browser test makes the camera fail by setting this cookie: the same server, a real 500.
  options.extra_config =
      "$HTTP[\"cookie\"] =~ \"stillcam_fail=1\" {\n"
      "  setenv.set-environment = (\"STILLCAM_DEVICE\" => \"/nonexistent/video9\")\n"
      "}\n";
  WebServer server(WebServerKind::kLighttpd, options);

  ProcessResult browser =
      RunProcess(STILLCAM_NODE,
                 {STILLCAM_SOURCE_DIR "/tests/e2e/page_check.cjs", STILLCAM_PLAYWRIGHT_CORE,
                  STILLCAM_CHROMIUM, server.Url("/"), STILLCAM_SCREENSHOT_DIR},
                 {"PATH=/usr/bin:/bin", "HOME=" + server.folder(), "PLAYWRIGHT_BROWSERS_PATH=0",
                  "PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1"});
  EXPECT_EQ(browser.exit_status, 0) << browser.out << browser.err << server.ErrorLog();
  std::printf("%s", browser.out.c_str());
}

}  // namespace
