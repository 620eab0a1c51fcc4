#pragma once

// The one-call path from a video file to keyframe images plus a timing
// report.

#include <cstdint>
#include <string>

#include "video/performance.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// Runs, in order and each only after the one before succeeded:
//   1. the measured run under the name "Python Processing";
//   2. a second decode with keyframe selection;
//   3. save_keyframe_images of the selected frames into `output_dir`.
// Returns the record of step 1. An error's message already carries the
// failing step's prefix: "Processing failed: ", "Frame extraction failed: "
// or "Save keyframes failed: ". Kernel failures (velmar::Panic) are thrown.
// Neither decode keeps the frames: both score them as they arrive.
VideoResult<PerformanceResult> process_video_pipeline(const std::string& ffmpeg_path, bool verbose,
                                                      const std::string& video_path,
                                                      const std::string& output_dir,
                                                      uint64_t max_keyframes, uint64_t max_save,
                                                      bool use_simd, uint64_t block_size);

}  // namespace velmar::video
