#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "video/frame.hpp"

namespace velmar::video {

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

}  // namespace velmar::video
