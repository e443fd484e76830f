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

void CopyPicture(int picture_fd, int out_fd) {
  // One block for the whole copy, however large the picture.
  static unsigned char block[kBlockSize];

  for (;;) {
    long count = ReadSome(picture_fd, block, sizeof block);
    if (count < 0) ThrowErrno("read picture file");
    if (count == 0) break;
    if (!WriteAllBytes(out_fd, block, static_cast<size_t>(count))) ThrowErrno("write picture");
  }
}

// Closing stdout here lets the server finish the response before the device is released.
void CloseOutput(int out_fd) {
  if (CloseDescriptor(out_fd) != 0 && errno != EINTR) ThrowErrno("close output");
}

}  // namespace

void WriteCgiResponse(const char* picture_path, int out_fd) {
  if (!WriteAllBytes(out_fd, kResponseHeader, kResponseHeaderSize)) ThrowErrno("write header");
  UniqueFd picture(OpenForReading(picture_path, false));
  if (!picture.valid()) ThrowErrno("open picture file");
  CopyPicture(picture.get(), out_fd);
  if (CloseDescriptor(picture.Release()) != 0) ThrowErrno("close picture file");
  CloseOutput(out_fd);
}

void WriteCgiResponseFrom(int picture_fd, int out_fd) {
  if (!WriteAllBytes(out_fd, kResponseHeader, kResponseHeaderSize)) ThrowErrno("write header");
  CopyPicture(picture_fd, out_fd);
  CloseOutput(out_fd);
}
