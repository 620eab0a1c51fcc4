#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "python/ref.hpp"

// The measured-run methods of VideoKeyframeExtractor. Their argument tables
// are in py_extractor.cpp with the rest of the class; the module function
// extract_keyframes_from_video is declared in python/types.hpp.
namespace velmar::python {

Ref ExtractorBenchmark(PyObject* self, std::string video_path, uint64_t max_keyframes,
                       std::string test_name, bool use_simd, uint64_t block_size);

Ref ExtractorProcessVideo(PyObject* self, std::string video_path, std::string output_dir,
                          uint64_t max_keyframes, uint64_t max_save, bool use_simd,
                          uint64_t block_size);

}  // namespace velmar::python
