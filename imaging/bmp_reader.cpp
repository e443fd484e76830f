#include "imaging/bmp_reader.h"

#include <stdexcept>

FrameBitmap LoadFrameBitmap(const char*) { throw std::runtime_error("not implemented yet"); }
