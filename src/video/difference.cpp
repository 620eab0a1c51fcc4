#include "video/difference.hpp"

#include <algorithm>
#include <functional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_reduce.h>

#include "common/panic.hpp"
#include "common/worker_pool.hpp"
#include "video/cpu_features.hpp"
#include "video/sad.hpp"

namespace velmar::video {

namespace {

bool SameSize(const VideoFrame& a, const VideoFrame& b) {
  return a.width == b.width && a.height == b.height;
}

// Exact integer sum first, one division at the end: both methods give
// bit-identical results, and n = 0 gives 0/0, not-a-number.
double Mean(uint64_t sum, uint64_t n) {
  return static_cast<double>(sum) / static_cast<double>(n);
}

// The kernel is picked per block from the cached feature answer, so the
// block sum reads the same AVX2 answer that the system report shows.
uint64_t BlockSad(const uint8_t* a, const uint8_t* b, size_t length) {
  return GetCpuFeatures().avx2 ? SadAvx2(a, b, length) : SadSse2(a, b, length);
}

}  // namespace

double FrameDifference(const VideoFrame& a, const VideoFrame& b) {
  if (!SameSize(a, b)) return kMismatchScore;
  // Pixels() checks both lengths before a single byte is compared.
  const auto pa = a.Pixels();
  const auto pb = b.Pixels();
  uint64_t sum = 0;
  for (size_t i = 0; i < pa.size(); ++i) sum += pa[i] > pb[i] ? pa[i] - pb[i] : pb[i] - pa[i];
  return Mean(sum, pa.size());
}

double FrameDifferenceSimd(const VideoFrame& a, const VideoFrame& b, uint64_t block_size) {
  if (!SameSize(a, b)) return kMismatchScore;
  if (block_size == 0) throw Panic("division by zero: block_size is 0");
  const auto pa = a.Pixels();
  const auto pb = b.Pixels();
  const uint64_t n = pa.size();
  // Rounded-up division written so that block sizes near 2**64 cannot wrap.
  const uint64_t blocks = n / block_size + (n % block_size != 0 ? 1 : 0);
  // The pool is made even when one block needs no parallel sum: this
  // difference is one of the pool's users, and the first of them fixes its
  // size, so whether it exists must not depend on the frame size.
  tbb::task_arena& pool = WorkerPool();
  if (blocks <= 1) return Mean(blocks == 0 ? 0 : BlockSad(pa.data(), pb.data(), n), n);

  const uint64_t sum = pool.execute([&] {
    return tbb::parallel_reduce(
        tbb::blocked_range<uint64_t>(0, blocks, 1), uint64_t{0},
        [&](const tbb::blocked_range<uint64_t>& range, uint64_t partial) {
          for (uint64_t i = range.begin(); i != range.end(); ++i) {
            // i < blocks, so start < n and n - start cannot wrap.
            const uint64_t start = i * block_size;
            const uint64_t length = std::min(block_size, n - start);
            partial += BlockSad(pa.data() + start, pb.data() + start, length);
          }
          return partial;
        },
        std::plus<uint64_t>());
  });
  return Mean(sum, n);
}

}  // namespace velmar::video
