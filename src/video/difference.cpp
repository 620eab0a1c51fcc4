// Placeholder scalar version. Replaced by the SAD kernels on the pool.
#include "video/difference.hpp"

#include <cmath>

#include "common/panic.hpp"

namespace velmar::video {

double FrameDifference(const VideoFrame& a, const VideoFrame& b) {
  if (a.width != b.width || a.height != b.height) return kMismatchScore;
  auto pa = a.Pixels();
  auto pb = b.Pixels();
  uint64_t sum = 0;
  for (size_t i = 0; i < pa.size(); ++i) sum += static_cast<uint64_t>(std::abs(pa[i] - pb[i]));
  return static_cast<double>(sum) / static_cast<double>(pa.size());
}

double FrameDifferenceSimd(const VideoFrame& a, const VideoFrame& b, uint64_t block_size) {
  if (a.width != b.width || a.height != b.height) return kMismatchScore;
  if (block_size == 0) throw Panic("attempt to calculate the remainder with a divisor of zero");
  return FrameDifference(a, b);
}

}  // namespace velmar::video
