#pragma once

// Online scene-boundary detection. It sees each frame once, as its score
// against the frame before it and a small gray thumbnail, and decides
// boundaries a bounded number of frames later:
//  - a hard cut is a score that stands well above the scores around it
//    (and above an absolute floor), so dark, low-contrast and jump cuts are
//    found while the steady high scores of pans, zooms and grain are not;
//  - a gradual transition (dissolve, fade, wipe) is a run of frames whose
//    thumbnails move steadily from one settled picture to another, every
//    pixel staying between its values at the two ends; it is one boundary,
//    placed in its middle;
//  - a flash (a jump away and back within a few frames) is no boundary;
//  - two boundaries are at least min_scene_len frames apart.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velmar::video {

enum class TransitionKind { kStart, kCut, kDissolve, kFade, kWipe };

struct SceneBoundary {
  // The transition's span; a cut spans one frame, the first of the new shot.
  uint64_t first_frame = 0, last_frame = 0;
  // First frame of the new scene (for a gradual transition, its middle).
  uint64_t start_frame = 0;
  TransitionKind kind = TransitionKind::kCut;
};

struct SceneDetectorOptions {
  uint64_t min_scene_len = 15;  // frames between two boundaries' start frames
  // Hard cuts: the score must reach cut_floor and cut_ratio times the mean
  // score of the cut_context frames on each side of it.
  double cut_floor = 6.0;
  double cut_ratio = 3.0;
  uint64_t cut_context = 2;
  // Above cut_strong a cut needs only cut_strong_ratio (a cut between two
  // shots full of motion still stands out, though less).
  double cut_strong = 40.0;
  double cut_strong_ratio = 1.6;
  // A jump that comes back within flash_frames frames (the picture after it
  // matches the one before it to within flash_match of the jump) is a flash.
  uint64_t flash_frames = 5;
  double flash_match = 0.4;
  // Gradual transitions: the thumbnails' mean change from end to end must
  // reach gradual_min_change (gray levels), the pixels' mean excursion
  // outside the span between their end values must stay within
  // gradual_max_excursion of that change, and no one frame may carry more
  // than gradual_max_step of it.
  double gradual_min_change = 14.0;
  double gradual_max_excursion = 0.12;
  double gradual_max_step = 0.45;
  // The two ends of a dissolve or wipe must hold different pictures: their
  // thumbnails' correlation stays below gradual_max_correlation (a mere
  // change of brightness keeps it near 1).
  double gradual_max_correlation = 0.75;
  // A thumbnail whose standard deviation is below flat_level is a plain
  // (black or white) picture: the end of a fade-out or start of a fade-in.
  double flat_level = 6.0;
};

// The thumbnail every frame is reduced to for the window signals.
inline constexpr uint64_t kThumbWidth = 32;
inline constexpr uint64_t kThumbHeight = 18;
inline constexpr uint64_t kThumbSize = kThumbWidth * kThumbHeight;

// Box-averages a gray picture (row-major, width x height, width and height
// >= 1, gray.size() >= width * height) to kThumbWidth x kThumbHeight into
// `out` (out.size() >= kThumbSize). Each thumbnail pixel is the rounded mean
// of the source pixels whose centres fall in its cell; when the picture is
// smaller than the thumbnail, source pixels are repeated.
void MakeThumbnail(std::span<const uint8_t> gray, uint64_t width, uint64_t height,
                   std::span<uint8_t> out);

class SceneDetector {
 public:
  explicit SceneDetector(const SceneDetectorOptions& options);
  ~SceneDetector();
  SceneDetector(const SceneDetector&) = delete;
  SceneDetector& operator=(const SceneDetector&) = delete;

  // Feeds frame `frame` (0, 1, 2, ... in order, no gaps): its score against
  // the frame before it (0..255; ignored for frame 0) and its thumbnail
  // (kThumbSize bytes from MakeThumbnail). Allocates nothing once the
  // detector has seen its first lookahead window of frames.
  void Push(uint64_t frame, double score, std::span<const uint8_t> thumb);

  // The boundaries decided since the last call, in frame order. Never holds
  // the start of the first scene (frame 0).
  std::vector<SceneBoundary> TakeDecided();

  // No boundary still to be decided can touch a frame below this one: frames
  // below it may be handed to the scenes already known.
  uint64_t FinalBefore() const;

  // End of the stream: decides everything still open.
  void Finish();

  // Frames the detector waits for past a frame before it decides about it.
  static uint64_t Lookahead(const SceneDetectorOptions& options);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmar::video
