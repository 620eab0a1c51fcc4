#pragma once

#include <cstdint>
#include <string>

namespace velmar::video {

// The figures of one measured keyframe-extraction run. Filled once by the run
// that made it; never changed afterwards.
struct PerformanceResult {
  std::string test_name;
  std::string video_file;
  double total_time_ms = 0.0;
  double frame_extraction_time_ms = 0.0;
  double keyframe_analysis_time_ms = 0.0;
  uint64_t total_frames = 0;
  uint64_t keyframes_extracted = 0;
  double keyframe_ratio = 0.0;
  double processing_fps = 0.0;
  uint64_t max_keyframes_requested = 0;
  std::string optimization_type;
  bool simd_enabled = false;
  uint64_t threads_used = 0;
  std::string timestamp;
};

}  // namespace velmar::video
