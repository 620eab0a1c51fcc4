#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "python/binding.hpp"

namespace velmar::python {

// The immutable settings of one VideoKeyframeExtractor.
struct ExtractorSettings {
  std::string ffmpeg_path = "ffmpeg";
  // The worker count asked for, or, when 0 was asked for, the pool's size
  // at construction.
  uint64_t threads = 0;
  bool verbose = false;
};

using ExtractorClass = NativeType<ExtractorSettings>;

// Settings as the constructor makes them, worker-pool rule included:
// threads > 0 asks for the process-wide pool with that many workers (a pool
// that already exists keeps its size, silently); threads == 0 records the
// current pool size (creating the pool with its default size if needed).
ExtractorSettings MakeExtractorSettings(std::string ffmpeg_path, uint64_t threads, bool verbose);

}  // namespace velmar::python
