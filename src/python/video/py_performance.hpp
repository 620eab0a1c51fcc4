#pragma once

#include <Python.h>

#include "python/binding.hpp"
#include "video/performance.hpp"

namespace velmar::python {

// PyPerformanceResult: Wrap(record) makes one; Python cannot construct it.
using PerformanceResultClass = NativeType<video::PerformanceResult>;

}  // namespace velmar::python
