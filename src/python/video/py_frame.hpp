#pragma once

#include <Python.h>

#include <vector>

#include "python/binding.hpp"
#include "video/frame.hpp"

namespace velmar::python {

// PyVideoFrame: Wrap(record) makes one, Find(obj) reads one.
using FrameClass = NativeType<video::VideoFrame>;

// A sequence (not str) of PyVideoFrame, copied in order.
std::vector<video::VideoFrame> ToFrameList(PyObject* obj, const char* arg);

}  // namespace velmar::python
