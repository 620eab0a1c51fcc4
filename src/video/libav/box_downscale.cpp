#include "video/libav/box_downscale.hpp"

#include <algorithm>

#include "video/frame.hpp"

namespace velmar::video {

void BoxDownscale(const uint8_t* src, size_t width, size_t height, size_t factor,
                  std::vector<uint8_t>* out) {
  const size_t ow = width / factor;
  const size_t oh = height / factor;
  const uint64_t area = uint64_t{factor} * factor;
  out->assign(VideoFrame::PaddedSize(ow * oh), 0);
  // One row of block sums at a time, accumulated over the block's rows, so
  // the source is read row by row.
  std::vector<uint64_t> sums(ow);
  for (size_t oy = 0; oy < oh; ++oy) {
    std::fill(sums.begin(), sums.end(), 0);
    for (size_t dy = 0; dy < factor; ++dy) {
      const uint8_t* row = src + (oy * factor + dy) * width;
      for (size_t ox = 0; ox < ow; ++ox) {
        uint64_t s = 0;
        for (size_t dx = 0; dx < factor; ++dx) s += row[ox * factor + dx];
        sums[ox] += s;
      }
    }
    uint8_t* dst = out->data() + oy * ow;
    for (size_t ox = 0; ox < ow; ++ox) dst[ox] = static_cast<uint8_t>((sums[ox] + area / 2) / area);
  }
}

void ResampleGray(const uint8_t* src, size_t width, size_t height, size_t out_width,
                  size_t out_height, std::vector<uint8_t>* out) {
  out->assign(VideoFrame::PaddedSize(out_width * out_height), 0);
  for (size_t y = 0; y < out_height; ++y) {
    const size_t sy = (2 * y + 1) * height / (2 * out_height);
    const uint8_t* row = src + sy * width;
    uint8_t* dst = out->data() + y * out_width;
    for (size_t x = 0; x < out_width; ++x) dst[x] = row[(2 * x + 1) * width / (2 * out_width)];
  }
}

}  // namespace velmar::video
