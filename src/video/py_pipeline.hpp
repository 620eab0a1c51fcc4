#pragma once

#include <Python.h>

// The measured-run methods of VideoKeyframeExtractor, defined in
// py_pipeline.cpp and listed in the class's method table (METH_VARARGS |
// METH_KEYWORDS). The module function extract_keyframes_from_video is
// declared in python/types.hpp.
namespace velmar::python {

// benchmark($self, video_path, max_keyframes, test_name, use_simd=None, block_size=None)
PyObject* ExtractorBenchmark(PyObject* self, PyObject* args, PyObject* kwargs);

// process_video($self, video_path, output_dir, max_keyframes, max_save=None,
//               use_simd=None, block_size=None)
PyObject* ExtractorProcessVideo(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velmar::python
