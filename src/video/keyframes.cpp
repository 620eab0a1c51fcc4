// Placeholder serial selection (full sort). Replaced by the pool version.
#include "video/keyframes.hpp"

#include <algorithm>

#include "video/difference.hpp"

namespace velmar::video {

std::vector<uint64_t> select_keyframes(std::span<const VideoFrame> frames, uint64_t max_keyframes,
                                       bool use_simd, uint64_t block_size, bool verbose) {
  if (max_keyframes == 0 || frames.size() < 2) return {};
  auto start = std::chrono::steady_clock::now();
  std::vector<PairEntry> entries(frames.size() - 1);
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    double s = use_simd ? FrameDifferenceSimd(frames[i], frames[i + 1], block_size)
                        : FrameDifference(frames[i], frames[i + 1]);
    entries[i] = {i + 1, s};
  }
  return SelectFromScores(std::move(entries), max_keyframes, verbose, start);
}

std::vector<uint64_t> SelectFromScores(std::vector<PairEntry> entries, uint64_t max_keyframes,
                                       bool, std::chrono::steady_clock::time_point) {
  std::vector<uint64_t> out;
  if (max_keyframes >= entries.size()) {
    for (auto& e : entries) out.push_back(e.position);
    return out;
  }
  std::vector<double> scores;
  for (auto& e : entries) scores.push_back(e.score);
  std::sort(scores.begin(), scores.end(), [](double x, double y) { return x > y; });
  double pivot = scores[max_keyframes - 1];
  for (auto& e : entries)
    if (e.score >= pivot) out.push_back(e.position);
  return out;
}

}  // namespace velmar::video
