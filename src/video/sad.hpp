#pragma once

// Sum of absolute differences of two byte runs, one function per instruction
// set. Each lives in its own file compiled with that set's flags, so this
// header must stay free of inline functions and templates: a -mavx2 copy of
// a shared inline function could otherwise be the one the linker keeps.

#include <stddef.h>
#include <stdint.h>

namespace velmar::video {

// Sum over j < length of |a[j] - b[j]|, exact, in 64 bits. No alignment is
// required and nothing is read past a + length or b + length. Allocates
// nothing.
uint64_t SadSse2(const uint8_t* a, const uint8_t* b, size_t length) noexcept;

// The same with 256-bit instructions. Call only when the processor and the
// operating system support AVX2 (GetCpuFeatures().avx2).
uint64_t SadAvx2(const uint8_t* a, const uint8_t* b, size_t length) noexcept;

}  // namespace velmar::video
