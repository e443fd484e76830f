// libjpeg-turbo's processor check, answered from glibc's record, says what the library's own check
// (CPUID and XGETBV, asked here the same way) would say.
#include <cpuid.h>
#include <gtest/gtest.h>

extern "C" unsigned int jpeg_simd_cpu_support(void);

namespace {

unsigned int AskedOfTheProcessor() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  unsigned int flags = 0x04 | 0x08;  // SSE, SSE2
  if (__get_cpuid_max(0, nullptr) < 7) return flags;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = (ebx & (1u << 5)) != 0;
  __cpuid(1, eax, ebx, ecx, edx);
  const bool saves_ymm =
      (ecx & (1u << 27)) != 0 && (ecx & (1u << 28)) != 0 && (__builtin_ia32_xgetbv(0) & 6) == 6;
  return flags | (avx2 && saves_ymm ? 0x80 : 0);
}

TEST(JpegCpuFeatures, SameAsTheProcessorSays) { EXPECT_EQ(jpeg_simd_cpu_support(), AskedOfTheProcessor()); }

}  // namespace
