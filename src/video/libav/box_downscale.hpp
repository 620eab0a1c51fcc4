#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar::video {

// Shrinks the `width` x `height` gray picture `src` (rows back to back) by
// averaging `factor` x `factor` blocks, rounding half up; the right and
// bottom remainders are dropped. `out` is resized to the padded size of the
// (width / factor) x (height / factor) result, zeros after the picture.
// factor >= 1 and both quotients >= 1.
void BoxDownscale(const uint8_t* src, size_t width, size_t height, size_t factor,
                  std::vector<uint8_t>* out);

// Samples the `width` x `height` gray picture `src` at the `out_width` x
// `out_height` grid of pixel centres (nearest neighbour) into `out`, resized
// to the padded size of the result: a picture of another size compared
// with the first one's. All sizes >= 1.
void ResampleGray(const uint8_t* src, size_t width, size_t height, size_t out_width,
                  size_t out_height, std::vector<uint8_t>* out);

}  // namespace velmar::video
