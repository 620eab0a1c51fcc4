#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "video/frame.hpp"

namespace velmar::video {

// The defaults of the fixed cut rule. Scores are mean absolute gray
// differences (0..255): a hard cut between two shots scores tens, while
// fast motion and camera pans score a few units, which 25 leaves well apart.
inline constexpr double kDefaultCutThreshold = 25.0;
inline constexpr uint64_t kDefaultMinSceneLen = 15;

// One scored pair: `position` is the later frame's position, i + 1.
struct PairEntry {
  uint64_t position;
  double score;
};

// Positions (ascending, never 0) of the frames whose score against the frame
// before them is among the `max_keyframes` highest; ties with the k-th score
// are all kept. Scores the pairs on the worker pool. Prints its two progress
// lines when `verbose`. Kernel failures (velmar::Panic) pass through.
std::vector<uint64_t> select_keyframes(std::span<const VideoFrame> frames, uint64_t max_keyframes,
                                       bool use_simd, uint64_t block_size, bool verbose);

// Prints "Keyframe analysis target: <k> (SIMD+Parallel|Parallel)", the line
// that opens a selection of `max_keyframes` frames.
void PrintAnalysisTarget(uint64_t max_keyframes, bool use_simd);

// The selection steps after scoring, for callers that scored the pairs
// themselves (entries[i] = {i + 1, score of frames i and i + 1}, so
// entries.size() = N - 1 >= 1, max_keyframes >= 1; otherwise the result is
// empty and nothing is printed). Prints the "Keyframes selected" line when
// `verbose`, timing from `start`. The selection, the threshold walk and the
// sort of the kept positions all work inside `entries`.
std::vector<uint64_t> SelectFromScores(std::vector<PairEntry> entries, uint64_t max_keyframes,
                                       bool verbose, std::chrono::steady_clock::time_point start);

// The fixed cut rule, fed frames in order: frame n (n >= 1) is a cut when
// its score against frame n - 1 is at least `threshold` and at least
// `min_scene_len` frames have passed since the last cut (or frame 0).
class ThresholdCutRule {
 public:
  ThresholdCutRule(double threshold, uint64_t min_scene_len)
      : threshold_(threshold), min_scene_len_(min_scene_len) {}

  // True when `frame` is a cut; it then becomes the last cut.
  bool IsCut(uint64_t frame, double score) {
    if (!(score >= threshold_) || frame - last_cut_ < min_scene_len_) return false;
    last_cut_ = frame;
    return true;
  }

 private:
  double threshold_;
  uint64_t min_scene_len_;
  uint64_t last_cut_ = 0;
};

}  // namespace velmar::video
