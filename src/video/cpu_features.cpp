#include "video/cpu_features.hpp"

#include <cpuid.h>

namespace velmar::video {

namespace {

constexpr uint32_t kLeaf1EcxFma = 1u << 12;
constexpr uint32_t kLeaf1EcxSse41 = 1u << 19;
constexpr uint32_t kLeaf1EcxSse42 = 1u << 20;
constexpr uint32_t kLeaf1EcxXsave = 1u << 26;
constexpr uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr uint32_t kLeaf7EbxAvx2 = 1u << 5;
// XCR0 bit 1: SSE (XMM) state, bit 2: AVX (upper YMM) state.
constexpr uint64_t kXcr0SseAndAvx = (1u << 1) | (1u << 2);

bool OsSavesYmm(const CpuidWords& words) {
  const uint32_t both = kLeaf1EcxXsave | kLeaf1EcxOsxsave;
  return (words.leaf1_ecx & both) == both && (words.xcr0 & kXcr0SseAndAvx) == kXcr0SseAndAvx;
}

}  // namespace

CpuidWords ReadCpuidWords() {
  CpuidWords words;
  words.max_leaf = __get_cpuid_max(0, nullptr);
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (words.max_leaf >= 1) {
    __cpuid(1, eax, ebx, ecx, edx);
    words.leaf1_ecx = ecx;
  }
  if (words.max_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    words.leaf7_ebx = ebx;
  }
  const uint32_t both = kLeaf1EcxXsave | kLeaf1EcxOsxsave;
  if ((words.leaf1_ecx & both) == both) {
    // XGETBV is spelled out rather than taken from <immintrin.h>, whose
    // _xgetbv needs -mxsave; this file is built for the x86-64 baseline and
    // only executes the instruction once OSXSAVE says the OS allows it.
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    words.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
  }
  return words;
}

CpuFeatures DeriveCpuFeatures(const CpuidWords& words) {
  CpuFeatures f;
  const bool ymm = OsSavesYmm(words);
  f.avx2 = words.max_leaf >= 7 && (words.leaf7_ebx & kLeaf7EbxAvx2) != 0 && ymm;
  f.sse2 = true;  // part of the x86-64 baseline
  f.sse4_1 = (words.leaf1_ecx & kLeaf1EcxSse41) != 0;
  f.sse4_2 = (words.leaf1_ecx & kLeaf1EcxSse42) != 0;
  f.fma = (words.leaf1_ecx & kLeaf1EcxFma) != 0 && ymm;
  return f;
}

const CpuFeatures& GetCpuFeatures() {
  // The answers never change, so a plain function-local constant is enough:
  // the first caller detects, any concurrent first caller waits for it.
  static const CpuFeatures features = DeriveCpuFeatures(ReadCpuidWords());
  return features;
}

}  // namespace velmar::video
