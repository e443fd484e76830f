#pragma once

#include <cstddef>

// The fixed response header: "Content-type: image/jpg" and two single line feeds, 25 bytes.
inline constexpr char kResponseHeader[] = "Content-type: image/jpg\n\n";
inline constexpr size_t kResponseHeaderSize = sizeof(kResponseHeader) - 1;

// Writes the header and then the picture file's bytes to out_fd in blocks of 4096 bytes, then
// closes out_fd. Throws std::system_error on the first failed operation; what was written stays written.
void WriteCgiResponse(const char* picture_path, int out_fd);
// The same with the picture read from picture_fd, from where it stands to its end.
void WriteCgiResponseFrom(int picture_fd, int out_fd);
