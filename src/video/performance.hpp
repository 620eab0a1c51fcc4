#pragma once

#include <cstdint>
#include <string>

namespace velmar::video {

// The fields of a measured run's record, in the order they are listed to
// users: X(type, name) once per field. The record, its Python attributes and
// its to_dict() are all made from this one list.
#define VELMAR_PERFORMANCE_FIELDS(X)          \
  X(std::string, test_name)                   \
  X(std::string, video_file)                  \
  X(double, total_time_ms)                    \
  X(double, frame_extraction_time_ms)         \
  X(double, keyframe_analysis_time_ms)        \
  X(uint64_t, total_frames)                   \
  X(uint64_t, keyframes_extracted)            \
  X(double, keyframe_ratio)                   \
  X(double, processing_fps)                   \
  X(uint64_t, max_keyframes_requested)        \
  X(std::string, optimization_type)           \
  X(bool, simd_enabled)                       \
  X(uint64_t, threads_used)                   \
  X(std::string, timestamp)

// The figures of one measured keyframe-extraction run. Filled once by the run
// that made it; never changed afterwards.
struct PerformanceResult {
#define VELMAR_PERFORMANCE_MEMBER(type, name) type name{};
  VELMAR_PERFORMANCE_FIELDS(VELMAR_PERFORMANCE_MEMBER)
#undef VELMAR_PERFORMANCE_MEMBER
};

}  // namespace velmar::video
