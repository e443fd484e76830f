#include "imaging/bmp_writer.h"

#include <cerrno>

bool WriteBmpFile(const char*, const BmpPixels&) {
  errno = ENOSYS;
  return false;
}
