#pragma once

#include <cstdint>

namespace velmar::video {

// What the processor and operating system offer, detected once per process.
struct CpuFeatures {
  bool avx2 = false;
  bool sse2 = true;
  bool sse4_1 = false;
  bool sse4_2 = false;
  bool fma = false;
};

// The cached answers; the first call runs the detection.
const CpuFeatures& GetCpuFeatures();

// The raw identification words the answers are derived from. `xcr0` is only
// meaningful when leaf 1 reports both XSAVE and OSXSAVE; `leaf7_ebx` only
// when `max_leaf` reaches 7.
struct CpuidWords {
  uint32_t max_leaf = 0;
  uint32_t leaf1_ecx = 0;
  uint32_t leaf7_ebx = 0;
  uint64_t xcr0 = 0;
};

// Reads the identification words of the processor this runs on.
CpuidWords ReadCpuidWords();

// The five answers for the given identification words.
CpuFeatures DeriveCpuFeatures(const CpuidWords& words);

}  // namespace velmar::video
