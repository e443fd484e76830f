#include "capture/write_all.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

bool WriteAllBytes(int fd, const void* data, size_t size) {
  const auto* next = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t written = write(fd, next, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    next += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}
