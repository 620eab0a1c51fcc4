#pragma once

#include <cstdint>
#include <limits>

#include "video/frame.hpp"

namespace velmar::video {

// What two frames of different width or height score.
inline constexpr double kMismatchScore = std::numeric_limits<double>::max();

// Mean absolute difference of the two pictures, one sequential pass.
// Throws velmar::Panic when a buffer is shorter than width*height.
double FrameDifference(const VideoFrame& a, const VideoFrame& b);

// The same number, summed block by block on the worker pool with the widest
// SAD instructions available. Throws velmar::Panic for block_size 0 (frames
// of equal size only) or a short buffer.
double FrameDifferenceSimd(const VideoFrame& a, const VideoFrame& b, uint64_t block_size);

}  // namespace velmar::video
