#include "cgi/cgi_response.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "tests/support/process_runner.h"

namespace {

std::string PictureOf(size_t size) {
  std::string bytes(size, '\0');
  const char pattern[] = "\x0A\x0D\x1A\xFF\x00\xD8";
  for (size_t i = 0; i < size; ++i) bytes[i] = pattern[i % 6];
  return bytes;
}

class ResponseTest : public testing::TestWithParam<size_t> {};

TEST_P(ResponseTest, IsHeaderThenThePictureUnchanged) {
  TempFolder folder;
  const std::string picture = folder.path() + "/picture.jpg";
  const std::string output = folder.path() + "/out";
  const std::string bytes = PictureOf(GetParam());
  WriteFileBytes(picture, bytes);
  int out_fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(out_fd, 0);

  WriteCgiResponse(picture.c_str(), out_fd);

  EXPECT_EQ(fcntl(out_fd, F_GETFD), -1) << "the output is closed at the end";
  EXPECT_EQ(ReadFileBytes(output), std::string("Content-type: image/jpg\n\n", 25) + bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResponseTest, testing::Values(0, 1, 4095, 4096, 4097, 3 * 4096 + 17));

TEST(Response, MissingPictureFailsAfterTheHeader) {
  TempFolder folder;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_THROW(WriteCgiResponse((folder.path() + "/absent.jpg").c_str(), fds[1]), std::system_error);
  close(fds[1]);
  char buffer[64] = {};
  EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 25);
  close(fds[0]);
}

TEST(Response, ClosedReaderIsAnError) {
  TempFolder folder;
  const std::string picture = folder.path() + "/picture.jpg";
  WriteFileBytes(picture, PictureOf(100000));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  auto previous = signal(SIGPIPE, SIG_IGN);
  try {
    WriteCgiResponse(picture.c_str(), fds[1]);
    ADD_FAILURE() << "no error on a broken pipe";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EPIPE);
  }
  signal(SIGPIPE, previous);
  close(fds[1]);
}

}  // namespace
