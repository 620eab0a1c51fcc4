#pragma once

// The one-call path from a video file to keyframe images plus a timing
// report.

#include <cstdint>
#include <expected>
#include <string>

#include "video/performance.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// The steps of the pipeline, in the order they run.
enum class PipelineStep { kMeasuredRun, kSelection, kSaving };

// A failed step and its error; the caller words the step for its users.
struct PipelineError {
  PipelineStep step;
  VideoError error;
};

// Runs, in order and each only after the one before succeeded:
//   1. the measured run under the name "Python Processing" (kMeasuredRun);
//   2. a second decode with keyframe selection (kSelection);
//   3. save_keyframe_images of the selected frames into `output_dir` (kSaving).
// Returns the record of step 1, or the failing step with its error. Kernel
// failures (velmar::Panic) are thrown. Neither decode keeps the frames: both
// score them as they arrive.
std::expected<PerformanceResult, PipelineError> process_video_pipeline(
    const std::string& ffmpeg_path, bool verbose, const std::string& video_path,
    const std::string& output_dir, uint64_t max_keyframes, uint64_t max_save, bool use_simd,
    uint64_t block_size);

}  // namespace velmar::video
