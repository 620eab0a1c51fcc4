#include "video/ffmpeg_program/pipeline.hpp"

#include <utility>

#include "video/ffmpeg_program/decode.hpp"
#include "video/ffmpeg_program/measured_run.hpp"
#include "video/ffmpeg_program/save.hpp"

namespace velmar::video {

namespace {

std::unexpected<PipelineError> Failed(PipelineStep step, VideoError error) {
  return std::unexpected(PipelineError{step, std::move(error)});
}

}  // namespace

std::expected<PerformanceResult, PipelineError> process_video_pipeline(
    const std::string& ffmpeg_path, bool verbose, const std::string& video_path,
    const std::string& output_dir, uint64_t max_keyframes, uint64_t max_save, bool use_simd,
    uint64_t block_size) {
  auto record = run_performance_test(video_path, max_keyframes, "Python Processing", ffmpeg_path,
                                     use_simd, block_size, verbose);
  if (!record) return Failed(PipelineStep::kMeasuredRun, std::move(record.error()));

  // The frames of the measured run are not reused: that run is timed on its
  // own, and this pass decodes the video afresh.
  auto selection =
      DecodeAndSelect(video_path, ffmpeg_path, max_keyframes, use_simd, block_size, verbose);
  if (!selection) return Failed(PipelineStep::kSelection, std::move(selection.error()));

  auto saved = save_keyframe_images(video_path, selection->keyframes, output_dir,
                                    SaveOptions{ffmpeg_path, max_save, verbose});
  if (!saved) return Failed(PipelineStep::kSaving, std::move(saved.error()));
  return std::move(*record);
}

}  // namespace velmar::video
