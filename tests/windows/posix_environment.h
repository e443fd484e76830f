#pragma once

// setenv and unsetenv for the Linux tests compiled for Windows, which the C runtime there lacks.
#include <cstdlib>

inline int setenv(const char* name, const char* value, int /*overwrite*/) { return _putenv_s(name, value); }
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
