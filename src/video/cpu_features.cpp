// Placeholder: reports the x86-64 baseline only. Replaced by CPUID detection.
#include "video/cpu_features.hpp"

namespace velmar::video {

const CpuFeatures& GetCpuFeatures() {
  static const CpuFeatures features{};
  return features;
}

}  // namespace velmar::video
