#include "cgi/cgi_response.h"

#include <cerrno>
#include <system_error>

#include "base/platform.h"
#include "base/unique_fd.h"

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
  UniqueFd picture(OpenForReading(picture_path, true));
  if (!picture.valid()) ThrowErrno("open picture file");
  for (;;) {
    long count = ReadSome(picture.get(), block, sizeof block);
    if (count < 0) ThrowErrno("read picture file");
    if (count == 0) break;
    if (!WriteAllBytes(out_fd, block, static_cast<size_t>(count))) ThrowErrno("write picture");
  }
  if (CloseDescriptor(picture.Release()) != 0) ThrowErrno("close picture file");
  // Closing stdout here lets the server finish the response before the device is released.
  if (CloseDescriptor(out_fd) != 0 && errno != EINTR) ThrowErrno("close output");
}
