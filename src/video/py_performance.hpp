#pragma once

#include <Python.h>

#include "video/performance.hpp"

namespace velmar::python {

// A new PyPerformanceResult that takes the record over.
PyObject* WrapPerformanceResult(video::PerformanceResult&& record);

}  // namespace velmar::python
