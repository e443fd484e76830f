/* libjpeg-turbo asks the processor for its vector extensions with CPUID once per process. In a
 * virtual machine every CPUID traps to the hypervisor (6.5 us on the machines stillcam is measured
 * on: its three cost a small run 2 %), and glibc has asked the same questions before main. This
 * answers from glibc's record instead; linked before libjpeg-turbo's archive, it keeps the
 * library's own detection out of the binary. Built only for x86-64 with glibc and the archive.
 * In C: glibc's header for its record is C (clang's C++ does not take its _Bool). */
#include <sys/platform/x86.h>

unsigned int jpeg_simd_cpu_support(void);

/* libjpeg-turbo's flags (jsimd.h). Every x86-64 processor has SSE2; AVX2 counts only where the
 * system saves the YMM registers, which is what glibc's "active" means. */
unsigned int jpeg_simd_cpu_support(void) {
  enum { kSse = 0x04, kSse2 = 0x08, kAvx2 = 0x80 };
  return kSse | kSse2 | (CPU_FEATURE_ACTIVE(AVX2) ? kAvx2 : 0u);
}
