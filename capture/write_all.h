#pragma once

#include <cstddef>

// Writes all of data, through short counts and EINTR. False with errno set on failure.
bool WriteAllBytes(int fd, const void* data, size_t size);
