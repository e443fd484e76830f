#include "imaging/jpeg_encoder.h"

#include <stdexcept>

void EncodeJpegFile(const FrameBitmap&, const char*) { throw std::runtime_error("not implemented yet"); }
