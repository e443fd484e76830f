// Snapshots through real web servers (lighttpd with mod_cgi, Apache with mod_cgid) on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "tests/e2e/web_server_fixture.h"
#include "tests/support/jpeg_decode.h"
#include "tests/support/process_runner.h"

// Names the server in test names instead of its bytes.
void PrintTo(WebServerKind kind, std::ostream* out) { *out << WebServerName(kind); }

namespace {

struct SizeCase {
  const char* query;
  int width;
  int height;
};

// Every size and caption choice, written as the page and hand-made links write them.
constexpr SizeCase kChoices[] = {
    {"", 160, 120},       {"timestamp", 160, 120},        {"boldtimestamp", 160, 120},
    {"medium", 320, 240}, {"medium&timestamp", 320, 240}, {"medium&boldtimestamp&t=17", 320, 240},
    {"large", 640, 480},  {"LARGE&TimeStamp", 640, 480},  {"large&boldtimestamp&t=1733900000123", 640, 480},
};

void ExpectPicture(const HttpResponse& response, int width, int height) {
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.Header("content-type"), "image/jpg");
  DecodedJpeg picture = DecodeJpeg(response.body);
  ASSERT_TRUE(picture.ok) << picture.error;
  EXPECT_EQ(picture.width, width);
  EXPECT_EQ(picture.height, height);
  EXPECT_EQ(picture.components, 3);
  EXPECT_FALSE(picture.progressive);
}

class ThroughServer : public testing::TestWithParam<WebServerKind> {};

TEST_P(ThroughServer, EverySizeAndCaptionIsAPictureOfTheAskedSize) {
  WebServer server(GetParam(), {});
  for (const SizeCase& choice : kChoices) {
    SCOPED_TRACE(choice.query);
    ExpectPicture(HttpGet(server.port(), std::string("/cgi-bin/stillcam?") + choice.query), choice.width,
                  choice.height);
  }
  EXPECT_TRUE(server.TmpdirEntries().empty()) << testing::PrintToString(server.TmpdirEntries());
}

TEST_P(ThroughServer, BodyIsTheProgramsPictureByteForByte) {
  // Without a caption the test picture does not change between runs, so the server must relay
  // exactly what the program wrote after its 25-byte header.
  WebServer server(GetParam(), {});
  ProcessResult direct = RunStillcam({"QUERY_STRING=medium", "STILLCAM_DEVICE=test"});
  ASSERT_GT(direct.out.size(), 25u);
  HttpResponse response = HttpGet(server.port(), "/cgi-bin/stillcam?medium");
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.body == direct.out.substr(25))
      << "server body of " << response.body.size() << " bytes differs from the program's picture";
}

struct FailureCase {
  const char* name;
  const char* device;
  const char* logged;  // what the server's error log must show, empty when the failure is quiet
};

TEST_P(ThroughServer, FailedSnapshotIsTheServersErrorWithNoPicture) {
  // A frame file that is no BMP stands for a fault after the capture.
  TempFolder frames;
  std::filesystem::permissions(frames.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::string bad_frame = frames.path() + "/not-a-bitmap.bmp";
  WriteFileBytes(bad_frame, "this is not a bitmap");
  const std::vector<FailureCase> cases = {
      {"no camera", "/nonexistent/video9", ""},
      {"bad frame", nullptr, "stillcam: load frame:"},
  };
  for (const FailureCase& failure : cases) {
    SCOPED_TRACE(failure.name);
    WebServerOptions options;
    options.cgi_environment["STILLCAM_DEVICE"] = failure.device ? failure.device : "file:" + bad_frame;
    WebServer server(GetParam(), options);
    for (const char* query : {"", "large&timestamp"}) {
      HttpResponse response = HttpGet(server.port(), std::string("/cgi-bin/stillcam?") + query);
      EXPECT_EQ(response.status, 500) << query;
      EXPECT_NE(response.Header("content-type"), "image/jpg") << query;
      EXPECT_FALSE(DecodeJpeg(response.body).ok) << query;
    }
    if (*failure.logged != '\0') {
      EXPECT_NE(server.ErrorLog().find(failure.logged), std::string::npos) << server.ErrorLog();
    }
    EXPECT_TRUE(server.TmpdirEntries().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ThroughServer,
                         testing::Values(WebServerKind::kLighttpd, WebServerKind::kApache),
                         [](const testing::TestParamInfo<WebServerKind>& server) {
                           return std::string(WebServerName(server.param));
                         });

TEST(ThroughApache, QueryWithoutEqualsSignChangesNothing) {
  // Apache passes the "+"-separated words of such a query to the program as arguments.
  WebServer server(WebServerKind::kApache, {});
  constexpr SizeCase kWordQueries[] = {
      {"large+timestamp", 640, 480},
      {"-h", 160, 120},
      {"--version+medium", 320, 240},
      {"medium+%2Fetc%2Fpasswd+-o+%2Ftmp%2Fx", 320, 240},
      {"boldtimestamp+large+--device+%2Fdev%2Fvideo9", 640, 480},
  };
  for (const SizeCase& query : kWordQueries) {
    SCOPED_TRACE(query.query);
    ExpectPicture(HttpGet(server.port(), std::string("/cgi-bin/stillcam?") + query.query), query.width,
                  query.height);
  }
  EXPECT_TRUE(server.TmpdirEntries().empty());
}

TEST(WebServerFixture, StopLeavesNoProcess) {
  for (WebServerKind kind : {WebServerKind::kLighttpd, WebServerKind::kApache}) {
    SCOPED_TRACE(WebServerName(kind));
    WebServer server(kind, {});
    HttpGet(server.port(), "/cgi-bin/stillcam");
    ASSERT_FALSE(ProcessesMentioning(server.folder()).empty());
    server.Stop();
    EXPECT_TRUE(ProcessesMentioning(server.folder()).empty());
    EXPECT_FALSE(PortAnswers(server.port()));
  }
}

}  // namespace
