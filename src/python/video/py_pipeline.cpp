#include "python/video/py_pipeline.hpp"

#include <string>
#include <utility>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/types.hpp"
#include "python/video/py_extractor.hpp"
#include "python/video/py_performance.hpp"
#include "video/frame.hpp"
#include "video/ffmpeg_program/pipeline.hpp"

namespace velmar::python {

namespace {

// How users read each failing step of the pipeline.
const char* StepPrefix(video::PipelineStep step) {
  switch (step) {
    case video::PipelineStep::kMeasuredRun: return "Processing failed: ";
    case video::PipelineStep::kSelection: return "Frame extraction failed: ";
    case video::PipelineStep::kSaving: return "Save keyframes failed: ";
  }
  return "";
}

const Args kExtractKeyframesFromVideoArgs{
    {"extract_keyframes_from_video"},
    Required<ToFsPath>{"video_path"},
    Required<ToFsPath>{"output_dir"},
    Required<ToU64>{"max_keyframes"},
    Optional<ToU64>{"max_save", video::DEFAULT_MAX_SAVE},
    Optional<ToPath>{"ffmpeg_path", "ffmpeg"},
    Optional<ToBool>{"use_simd", true},
    Optional<ToU64>{"threads", 0},
    Optional<ToBool>{"verbose", false},
    Optional<ToU64>{"block_size", video::DEFAULT_BLOCK_SIZE}};

Ref ExtractKeyframesFromVideo(PyObject*, std::string video_path, std::string output_dir,
                              uint64_t max_keyframes, uint64_t max_save, std::string ffmpeg_path,
                              bool use_simd, uint64_t threads, bool verbose, uint64_t block_size) {
  // A temporary extractor, made as the constructor makes one: threads > 0
  // sizes the worker pool if nothing has created it yet.
  const ExtractorSettings settings =
      MakeExtractorSettings(std::move(ffmpeg_path), threads, verbose);
  return RunPipeline(settings, video_path, output_dir, max_keyframes, max_save, use_simd,
                     block_size);
}

}  // namespace

Ref RunPipeline(const ExtractorSettings& settings, const std::string& video_path,
                const std::string& output_dir, uint64_t max_keyframes, uint64_t max_save,
                bool use_simd, uint64_t block_size) {
  auto record =
      video::process_video_pipeline(settings.ffmpeg_path, settings.verbose, video_path,
                                    output_dir, max_keyframes, max_save, use_simd, block_size);
  if (!record) {
    // The step's text goes first; the call itself has no prefix of its own.
    video::VideoError error = std::move(record.error().error);
    error.message.insert(0, StepPrefix(record.error().step));
    throw error;
  }
  return PerformanceResultClass::Wrap(std::move(*record));
}

PyMethodDef kExtractKeyframesFromVideoDef =
    Def<kExtractKeyframesFromVideoArgs, ExtractKeyframesFromVideo>();

}  // namespace velmar::python
