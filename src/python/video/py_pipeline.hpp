#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "python/ref.hpp"
#include "python/video/py_extractor.hpp"

// The keyframe pipeline, shared by VideoKeyframeExtractor.process_video
// (py_extractor.cpp) and the module function extract_keyframes_from_video
// (here, declared in python/types.hpp).
namespace velmar::python {

// Runs the pipeline with `settings` and wraps its record; a failing step
// raises RuntimeError with the step's own prefix.
Ref RunPipeline(const ExtractorSettings& settings, const std::string& video_path,
                const std::string& output_dir, uint64_t max_keyframes, uint64_t max_save,
                bool use_simd, uint64_t block_size);

}  // namespace velmar::python
