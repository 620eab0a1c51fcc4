// The limited-range luma expansion with SSE2, part of x86-64 itself.

#include <emmintrin.h>

#include "video/libav/luma.hpp"

namespace velmar::video {

// With t = max(y - 16, 0): round(t * 255 / 219) = t + round(t * 12 / 73)
// = t + floor((12t + 36) / 73), and for 12t + 36 <= 2904 the division is
// exactly the high half of the product with 898. packus clips to 255.
void ExpandLimitedLuma(const uint8_t* src, uint8_t* dst, size_t n) {
  const __m128i sixteen = _mm_set1_epi8(16);
  const __m128i zero = _mm_setzero_si128();
  const __m128i twelve = _mm_set1_epi16(12);
  const __m128i bias = _mm_set1_epi16(36);
  const __m128i magic = _mm_set1_epi16(898);
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m128i t = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x)),
                                    sixteen);
    __m128i lo = _mm_unpacklo_epi8(t, zero);
    __m128i hi = _mm_unpackhi_epi8(t, zero);
    lo = _mm_add_epi16(lo, _mm_mulhi_epu16(_mm_add_epi16(_mm_mullo_epi16(lo, twelve), bias), magic));
    hi = _mm_add_epi16(hi, _mm_mulhi_epu16(_mm_add_epi16(_mm_mullo_epi16(hi, twelve), bias), magic));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(lo, hi));
  }
  const uint8_t* table = LimitedToFullLuma();
  for (; x < n; ++x) dst[x] = table[src[x]];
}

}  // namespace velmar::video
