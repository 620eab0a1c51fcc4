#pragma once

#include <Python.h>

#include "video/frame.hpp"

namespace velmar::python {

// A new PyVideoFrame that takes the record over without copying its bytes.
PyObject* WrapFrame(video::VideoFrame&& frame);

// The record of a PyVideoFrame (or subclass) instance, or null if `obj` is
// not one (no error is set).
const video::VideoFrame* FrameOf(PyObject* obj);

}  // namespace velmar::python
