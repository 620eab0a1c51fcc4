#pragma once

// What a scan does with each scored frame, one class per mode: the top-k
// selection, the fixed cut rule, and scene detection (scene_mode.hpp).

#include <cstdint>
#include <memory>
#include <span>

#include "video/libav/scan_images.hpp"
#include "video/libav/scanner.hpp"

struct AVFrame;

namespace velmar::video {

// One frame as the modes see it. The scanner has already appended its score
// and time to the outcome.
struct ScanFrame {
  uint64_t number = 0;
  double score = 0.0;  // against the frame before, 0..255 (0 for frame 0)
  // The picture size differs from the frame before's: a boundary whatever
  // the score says.
  bool size_changed = false;
  std::span<const uint8_t> gray;  // at the first frame's scored size
  uint64_t width = 0;
  uint64_t height = 0;
  const AVFrame* picture = nullptr;  // the decoded colour picture
};

class ScanMode {
 public:
  virtual ~ScanMode() = default;
  // Frames arrive in order, 0, 1, 2, ...
  virtual void OnFrame(const ScanFrame& frame) = 0;
  // After the last frame: fills the outcome's keyframes and scenes and
  // writes the images still due.
  virtual void Finish() = 0;
};

// The mode `options` ask for, writing through `images` into `out`.
std::unique_ptr<ScanMode> MakeScanMode(const ScanOptions& options, ScanOutcome* out,
                                       ScanImages* images);

// The keyframe record of frame `n` of `out` (no image).
ScanKeyframe KeyframeOf(const ScanOutcome& out, uint64_t n);

// When the scene ending with frame `end` ends: the next frame's time, else
// (the last scene) the end of the last frame, the outcome's duration.
double SceneEndTime(const ScanOutcome& out, uint64_t end);

}  // namespace velmar::video
