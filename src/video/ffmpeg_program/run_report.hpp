#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::video {

// The last ordinary name of a path: components are split at '/', empty and
// "." components are skipped ("clips/./d.mp4/." gives "d.mp4"). A path that
// ends in ".." or has no component gives "".
std::string VideoFileName(std::string_view path);

// The local wall-clock time as "%Y-%m-%d %H:%M:%S", in the zone named by TZ
// when it is set, else the system's zone.
std::string LocalTimestamp();

// "Standard Parallel", or "SIMD+Parallel(block:<block_size>)".
std::string OptimizationLabel(bool use_simd, uint64_t block_size);

// A duration in milliseconds, as whole seconds plus nanoseconds / 1e9, times
// 1000: every duration of a record is converted the same way, so they add
// up consistently. Never negative.
double DurationMs(std::chrono::nanoseconds duration);

// Milliseconds from `since` to now on the monotonic clock; never negative.
double ElapsedMs(std::chrono::steady_clock::time_point since);

}  // namespace velmar::video
