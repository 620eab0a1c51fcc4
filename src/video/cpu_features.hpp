#pragma once

namespace velmar::video {

// What the processor and operating system offer, detected once per process.
struct CpuFeatures {
  bool avx2 = false;
  bool sse2 = true;
  bool sse4_1 = false;
  bool sse4_2 = false;
  bool fma = false;
};

// The cached answers; the first call runs the detection.
const CpuFeatures& GetCpuFeatures();

}  // namespace velmar::video
