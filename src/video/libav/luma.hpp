#pragma once

// The 8-bit limited-range luma expansion that swscale applies when it writes
// gray, as a table and as a kernel. The kernel lives in its own file
// (luma_sse2.cpp), so this header stays free of inline functions and
// templates.

#include <stddef.h>
#include <stdint.h>

namespace velmar::video {

// The 8-bit limited-range (16..235) to full-range (0..255) luma expansion:
// clip(round((y - 16) * 255 / 219)), as a 256-entry table.
const uint8_t* LimitedToFullLuma();

// dst[i] = LimitedToFullLuma()[src[i]] for i < n, sixteen samples at a time.
void ExpandLimitedLuma(const uint8_t* src, uint8_t* dst, size_t n);

}  // namespace velmar::video
