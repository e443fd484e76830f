// libv4lconvert, linked in from its archive, calls powf (and nothing else from libm) only to build
// gamma tables for a real camera. Defined here, powf keeps libm out of the libraries every run maps
// (0.3 MB of a run's memory) and loads glibc's own on the first call, so the tables come out the same.
#include <dlfcn.h>

namespace {

using PowerFunction = float (*)(float, float);

PowerFunction LoadSystemPowf() {
  void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
  if (libm == nullptr) return nullptr;
  return reinterpret_cast<PowerFunction>(dlsym(libm, "powf"));
}

}  // namespace

extern "C" float powf(float base, float exponent) {
  // Loaded once per process and never unloaded: a gamma table takes 256 calls.
  static const PowerFunction system_powf = LoadSystemPowf();
  // Without libm the picture keeps its gamma rather than the run failing.
  return system_powf != nullptr ? system_powf(base, exponent) : base;
}
