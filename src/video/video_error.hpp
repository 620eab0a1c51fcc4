#pragma once

#include "common/error.hpp"

namespace velmar::video {

// The video side's names for the core's one error type: a message shown to
// callers and an optional operating-system cause that is never shown.
using VideoError = velmar::Error;

template <class T>
using VideoResult = velmar::Result<T>;

}  // namespace velmar::video
