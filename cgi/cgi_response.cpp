#include "cgi/cgi_response.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "imaging/rewritten_file.h"
#include "imaging/unique_fd.h"

namespace {

constexpr size_t kBlockSize = 4096;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void WriteCgiResponse(const char* picture_path, int out_fd) {
  // One block for the whole copy, however large the picture.
  static unsigned char block[kBlockSize];

  if (!WriteAllBytes(out_fd, kResponseHeader, kResponseHeaderSize)) ThrowErrno("write header");
  UniqueFd picture(open(picture_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!picture.valid()) ThrowErrno("open picture file");
  for (;;) {
    ssize_t count = read(picture.get(), block, sizeof block);
    if (count < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("read picture file");
    }
    if (count == 0) break;
    if (!WriteAllBytes(out_fd, block, static_cast<size_t>(count))) ThrowErrno("write picture");
  }
  if (close(picture.Release()) != 0) ThrowErrno("close picture file");
  // Closing stdout here lets the server finish the response before the device is released.
  if (close(out_fd) != 0 && errno != EINTR) ThrowErrno("close output");
}
