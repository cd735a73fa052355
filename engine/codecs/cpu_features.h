// What the running x86-64 CPU and OS let the engine use beyond the baseline
// (SSE2), probed once. The build flags stay generic; the fast kernels are
// compiled with function-level target attributes and picked at run time
// from these flags.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZARVIK_X86_64 1
#include <cpuid.h>

#include <cstdint>

// 256-bit vector code is built only where the compiler keeps 32-byte stack
// alignment: GCC for Windows does not, and may spill a ymm register with an
// aligned move to a misaligned slot.
#if !defined(_WIN32)
#define ZARVIK_X86_WIDE 1
#endif
#endif

namespace ablative {

struct CpuFeatures {
  bool sse41 = false;
  bool pclmul = false;
  // The 256-bit features count only when the OS saves the YMM state on a
  // context switch (OSXSAVE and XCR0), else the first use would corrupt state.
  bool avx2 = false;
  bool vpclmul = false;
};

#if ZARVIK_X86_64
inline CpuFeatures probeCpuFeatures() {
  CpuFeatures f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  f.sse41 = (c >> 19) & 1u;
  f.pclmul = (c >> 1) & 1u;
  const bool osxsave = (c >> 27) & 1u;
  const bool avx = (c >> 28) & 1u;
  bool ymmSaved = false;
  if (osxsave && avx) {
    uint32_t lo = 0, hi = 0;
    // Plain asm: the _xgetbv intrinsic would need -mxsave on the whole file.
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    ymmSaved = (lo & 0x6u) == 0x6u;  // XMM and YMM state
  }
  if (ymmSaved && __get_cpuid_count(7, 0, &a, &b, &c, &d)) {
    f.avx2 = (b >> 5) & 1u;
    f.vpclmul = f.avx2 && f.pclmul && ((c >> 10) & 1u);
  }
  return f;
}
#else
inline CpuFeatures probeCpuFeatures() { return {}; }
#endif

inline const CpuFeatures& cpuFeatures() {
  static const CpuFeatures features = probeCpuFeatures();
  return features;
}

}  // namespace ablative
