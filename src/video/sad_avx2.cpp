// AVX2 sum of absolute differences. This is the only file built with -mavx2,
// and it is entered only after the feature check says AVX2 is usable. It
// must not define or include anything that another file could also define
// (inline functions, templates): the linker could keep this file's AVX2 copy
// for everyone.
#include <immintrin.h>

#include "video/sad.hpp"

namespace velmar::video {

uint64_t SadAvx2(const uint8_t* a, const uint8_t* b, size_t length) noexcept {
  // VPSADBW leaves four 64-bit partial sums per 32 bytes. Four independent
  // accumulators over 128 bytes per step keep both load ports busy.
  __m256i acc0 = _mm256_setzero_si256();
  __m256i acc1 = _mm256_setzero_si256();
  __m256i acc2 = _mm256_setzero_si256();
  __m256i acc3 = _mm256_setzero_si256();
  size_t i = 0;
  for (; length - i >= 128; i += 128) {
    const __m256i* pa = reinterpret_cast<const __m256i*>(a + i);
    const __m256i* pb = reinterpret_cast<const __m256i*>(b + i);
    acc0 = _mm256_add_epi64(
        acc0, _mm256_sad_epu8(_mm256_loadu_si256(pa + 0), _mm256_loadu_si256(pb + 0)));
    acc1 = _mm256_add_epi64(
        acc1, _mm256_sad_epu8(_mm256_loadu_si256(pa + 1), _mm256_loadu_si256(pb + 1)));
    acc2 = _mm256_add_epi64(
        acc2, _mm256_sad_epu8(_mm256_loadu_si256(pa + 2), _mm256_loadu_si256(pb + 2)));
    acc3 = _mm256_add_epi64(
        acc3, _mm256_sad_epu8(_mm256_loadu_si256(pa + 3), _mm256_loadu_si256(pb + 3)));
  }
  for (; length - i >= 32; i += 32) {
    const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    acc0 = _mm256_add_epi64(acc0, _mm256_sad_epu8(va, vb));
  }
  const __m256i acc = _mm256_add_epi64(_mm256_add_epi64(acc0, acc1), _mm256_add_epi64(acc2, acc3));
  const __m128i half =
      _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(half)) +
                   static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
  for (; i < length; ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
  return total;
}

}  // namespace velmar::video
