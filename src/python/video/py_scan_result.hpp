#pragma once

#include <Python.h>

#include <optional>

#include "python/ref.hpp"
#include "video/libav/scanner.hpp"

namespace velmar::python {

// The ScanResult of `out` (whose vectors are taken over). `threshold` is
// the cut threshold used, or none.
Ref WrapOutcome(video::ScanOutcome&& out, std::optional<double> threshold);

}  // namespace velmar::python
