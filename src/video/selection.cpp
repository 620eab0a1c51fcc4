#include "video/selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "common/output.hpp"
#include "common/worker_pool.hpp"
#include "video/difference.hpp"

namespace velmar::video {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Higher score first. A NaN score ranks below every number, which keeps the
// order a strict weak ordering (a plain `>` would not be one with NaN).
bool HigherFirst(const PairEntry& x, const PairEntry& y) {
  return x.score > y.score || (std::isnan(y.score) && !std::isnan(x.score));
}

}  // namespace

void PrintAnalysisTarget(uint64_t max_keyframes, bool use_simd) {
  PrintOut("Keyframe analysis target: %llu (%s)\n", static_cast<unsigned long long>(max_keyframes),
           use_simd ? "SIMD+Parallel" : "Parallel");
}

std::vector<uint64_t> select_keyframes(std::span<const VideoFrame> frames, uint64_t max_keyframes,
                                       bool use_simd, uint64_t block_size, bool verbose) {
  if (max_keyframes == 0 || frames.size() < 2) return {};
  if (verbose) PrintAnalysisTarget(max_keyframes, use_simd);
  const auto start = std::chrono::steady_clock::now();

  const size_t pairs = frames.size() - 1;
  std::vector<PairEntry> entries(pairs);
  // Every slot is written exactly once, by whichever worker owns its index,
  // so the buffer is in pair order whatever the split. With use_simd each
  // score nests its own block sum on the same pool.
  WorkerPool().execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, pairs, 1),
                      [&](const tbb::blocked_range<size_t>& range) {
                        for (size_t i = range.begin(); i != range.end(); ++i) {
                          const double score =
                              use_simd ? FrameDifferenceSimd(frames[i], frames[i + 1], block_size)
                                       : FrameDifference(frames[i], frames[i + 1]);
                          entries[i] = PairEntry{i + 1, score};
                        }
                      });
  });
  return SelectFromScores(std::move(entries), max_keyframes, verbose, start);
}

std::vector<uint64_t> SelectFromScores(std::vector<PairEntry> entries, uint64_t max_keyframes,
                                       bool verbose, std::chrono::steady_clock::time_point start) {
  const size_t count = entries.size();
  if (count == 0 || max_keyframes == 0) return {};

  if (max_keyframes >= count) {
    std::vector<uint64_t> all(count);
    for (size_t i = 0; i < count; ++i) all[i] = entries[i].position;
    if (verbose) {
      PrintOut("Keyframes selected: %zu (all) in %.2fs\n", count, SecondsSince(start));
    }
    return all;
  }

  const size_t k = static_cast<size_t>(max_keyframes);
  std::nth_element(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(k - 1), entries.end(),
                   HigherFirst);
  const double pivot = entries[k - 1].score;

  // The kept positions are packed into the front of the entry buffer: the
  // j-th kept position goes to byte 8j, while the entry being read, i >= j,
  // starts at byte 16i, so a write never reaches an entry not yet read.
  // memcpy creates the uint64_t objects the sort then works on.
  std::byte* base = reinterpret_cast<std::byte*>(entries.data());
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    const PairEntry entry = entries[i];
    if (entry.score >= pivot) {  // false for NaN on either side
      std::memcpy(base + kept * sizeof(uint64_t), &entry.position, sizeof(uint64_t));
      ++kept;
    }
  }
  std::vector<uint64_t> result;
  if (kept > 0) {
    uint64_t* positions = std::launder(reinterpret_cast<uint64_t*>(base));
    std::sort(positions, positions + kept);
    result.assign(positions, positions + kept);
  }

  if (verbose) {
    // A NaN pivot prints without the sign bit the FPU gives 0/0.
    PrintOut("Keyframes selected: %zu (requested %llu, pivot_diff=%.3f) in %.2fs\n", kept,
             static_cast<unsigned long long>(max_keyframes),
             std::isnan(pivot) ? std::fabs(pivot) : pivot, SecondsSince(start));
  }
  return result;
}

}  // namespace velmar::video
