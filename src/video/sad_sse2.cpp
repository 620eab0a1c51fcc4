// SSE2 sum of absolute differences. SSE2 is part of the x86-64 baseline, so
// this file needs no special flags and runs on every supported processor.
#include <emmintrin.h>

#include "video/sad.hpp"

namespace velmar::video {

uint64_t SadSse2(const uint8_t* a, const uint8_t* b, size_t length) noexcept {
  // PSADBW leaves two 64-bit partial sums per 16 bytes. Four independent
  // accumulators keep the adds off the critical path of the loads.
  __m128i acc0 = _mm_setzero_si128();
  __m128i acc1 = _mm_setzero_si128();
  __m128i acc2 = _mm_setzero_si128();
  __m128i acc3 = _mm_setzero_si128();
  size_t i = 0;
  for (; length - i >= 64; i += 64) {
    const __m128i* pa = reinterpret_cast<const __m128i*>(a + i);
    const __m128i* pb = reinterpret_cast<const __m128i*>(b + i);
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128(pa + 0), _mm_loadu_si128(pb + 0)));
    acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(_mm_loadu_si128(pa + 1), _mm_loadu_si128(pb + 1)));
    acc2 = _mm_add_epi64(acc2, _mm_sad_epu8(_mm_loadu_si128(pa + 2), _mm_loadu_si128(pb + 2)));
    acc3 = _mm_add_epi64(acc3, _mm_sad_epu8(_mm_loadu_si128(pa + 3), _mm_loadu_si128(pb + 3)));
  }
  for (; length - i >= 16; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(va, vb));
  }
  const __m128i acc = _mm_add_epi64(_mm_add_epi64(acc0, acc1), _mm_add_epi64(acc2, acc3));
  uint64_t total = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
                   static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  for (; i < length; ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
  return total;
}

}  // namespace velmar::video
