#pragma once

// Online scene-boundary detection. It sees each frame once, as its score
// against the frame before it and a small gray thumbnail, and decides
// boundaries a bounded number of frames later:
//  - a hard cut is a score that stands well above the scores around it
//    (and above an absolute floor), so dark, low-contrast and jump cuts are
//    found while the steady high scores of pans, zooms and grain are not;
//  - a gradual transition (dissolve, fade, wipe) is a run of frames whose
//    thumbnails move steadily from one picture to a different one, each of
//    them a blend of the two ends (dissolve, fade) or a mix of their pixels
//    (wipe), which camera motion is not; it is one boundary, placed in its
//    middle;
//  - a boundary into a plain (black or white) picture and one out of it
//    soon after (a hold of up to kFadeHoldSeconds) are one fade, whether
//    each is a fade or a cut;
//  - a flash (a jump away and back within a few frames) is no boundary;
//  - two boundaries are at least min_scene_len frames apart.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "video/selection.hpp"

namespace velmar::video {

// The least score a hard cut reaches, and how many times the scores around
// it. The scene picture's chooser (libav/scene_mode.cpp) uses the same two
// to tell a likely cut from a calm frame.
inline constexpr double kCutFloor = 6.0;
inline constexpr double kCutRatio = 3.0;

enum class TransitionKind { kStart, kCut, kDissolve, kFade, kWipe };

struct SceneBoundary {
  // The transition's span; a cut spans one frame, the first of the new shot.
  uint64_t first_frame = 0, last_frame = 0;
  // First frame of the new scene (for a gradual transition, its middle).
  uint64_t start_frame = 0;
  TransitionKind kind = TransitionKind::kCut;
  // How far it clears the detector's default bars: 1 just at them, 2 at
  // twice them (see SceneDetectorOptions::bar_scale).
  double strength = 1.0;
};

struct SceneDetectorOptions {
  uint64_t min_scene_len = kDefaultMinSceneLen;  // frames between two boundaries' start frames
  // Hard cuts: the score must reach cut_floor, the thumbnail's mean change
  // cut_thumb_floor, and both must reach cut_ratio times their mean over the
  // cut_context frames on each side.
  double cut_floor = kCutFloor;
  double cut_thumb_floor = 4.0;
  double cut_ratio = kCutRatio;
  uint64_t cut_context = 2;
  // From cut_strong up, cut_strong_ratio is enough: a cut between two shots
  // full of motion still stands out, though less.
  double cut_strong = 50.0;
  double cut_strong_ratio = 2.0;
  // A jump is a flash when, within flash_frames frames, the picture comes
  // back to the one before it (or the jump lands on a picture from just
  // before), to within flash_match of the jump.
  uint64_t flash_frames = 5;
  double flash_match = 0.4;
  // Gradual transitions, over windows of up to kMaxTransition frames: the
  // ends' thumbnails differ by at least gradual_min_change gray levels; the
  // progress from one end to the other never moves more than
  // gradual_max_step in one frame nor back more than gradual_max_backstep;
  // at least gradual_min_frames inner frames, and gradual_tightness of them,
  // are part-way; those frames are blends of the two ends (mean residual
  // within gradual_max_blend of the change: a dissolve or fade) or a mix of
  // their pixels (gradual_max_mix: a wipe); and the ends are different
  // pictures (rank correlation at most gradual_max_correlation), unless one
  // is plain: a thumbnail whose standard deviation is below flat_level.
  double gradual_min_change = 14.0;
  double gradual_max_step = 0.35;
  double gradual_max_backstep = 0.15;
  uint64_t gradual_min_frames = 4;
  double gradual_tightness = 0.5;
  double gradual_max_blend = 0.15;
  double gradual_max_mix = 0.15;
  double gradual_max_correlation = 0.5;
  double flat_level = 6.0;
  // A boundary out of a plain picture (a fade-in, or a cut from black)
  // starting within fade_gap frames of the end of one into a plain picture
  // (a fade-out, or a cut to black) joins it into one fade. The default is
  // kFadeHoldSeconds at 25 frames a second; FadeGapFrames gives it for
  // other rates.
  uint64_t fade_gap = 50;
  // Scales the bars a boundary must clear: the cut floors, the contrast a
  // cut needs over its neighbours (ratio r becomes 1 + (r - 1) x scale) and
  // gradual_min_change. Below 1 finds weaker boundaries. A boundary's
  // strength is measured against the unscaled bars either way.
  double bar_scale = 1.0;
};

// The longest gradual transition found, in frames.
inline constexpr uint64_t kMaxTransition = 44;

// The longest hold of a plain picture that a way into it and a way out of
// it still join across: a fade to black and back is a pause, not a scene
// of its own, unless the picture stays black for longer than this.
inline constexpr double kFadeHoldSeconds = 2.0;

// SceneDetectorOptions::fade_gap at `fps` frames a second: kFadeHoldSeconds
// of frames (at least 1); the default for a rate that is unknown (<= 0).
uint64_t FadeGapFrames(double fps);

// Whether a thumbnail (kThumbSize bytes from MakeThumbnail) is one flat
// colour: its standard deviation is below `flat_level`
// (SceneDetectorOptions::flat_level, the detector's own test).
bool IsPlainThumbnail(std::span<const uint8_t> thumb, double flat_level);

// The thumbnail every frame is reduced to for the window signals.
inline constexpr uint64_t kThumbWidth = 32;
inline constexpr uint64_t kThumbHeight = 18;
inline constexpr uint64_t kThumbSize = kThumbWidth * kThumbHeight;

// Box-averages a gray picture (row-major, width x height, width and height
// >= 1, gray.size() >= width * height) to kThumbWidth x kThumbHeight into
// `out` (out.size() >= kThumbSize); throws velmar::Panic otherwise. Each
// thumbnail pixel is the rounded mean of its cell: source column x belongs
// to thumbnail column x * kThumbWidth / width, rows alike. A cell no source
// pixel falls in (a picture smaller than the thumbnail) takes the pixel
// under its centre.
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
  // (kThumbSize bytes from MakeThumbnail). Allocates nothing beyond room
  // for boundaries that TakeDecided has not taken yet. Throws
  // velmar::Panic for a frame out of order or a short thumbnail.
  void Push(uint64_t frame, double score, std::span<const uint8_t> thumb);

  // The boundaries decided since the last call, in frame order. Never holds
  // the start of the first scene (frame 0). Allocates only when it returns
  // boundaries.
  std::vector<SceneBoundary> TakeDecided();

  // No boundary still to be decided can touch a frame below this one: frames
  // below it may be handed to the scenes already known.
  uint64_t FinalBefore() const;

  // End of the stream: decides everything still open.
  void Finish();

  // A bound on how far FinalBefore() lags behind the frames pushed.
  static uint64_t Lookahead(const SceneDetectorOptions& options);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Scene detection with one knob, `sensitivity` in [0, 1], built so that a
// boundary found at one sensitivity is found at every higher one:
//  - at 0.5, exactly SceneDetector with `options`;
//  - below, its boundaries whose strength reaches SensitivityBar(s) (a fixed
//    set filtered by a rising bar: only ever fewer);
//  - above, all of its boundaries, and the weaker ones a second detector
//    finds at the lowest bars (SensitivityBar(1)) whose strength reaches
//    SensitivityBar(s). These are added strongest first, each only where it
//    is min_scene_len frames from every boundary already kept and from the
//    first frame. A weaker boundary is considered only after every stronger
//    one, so the boundaries a lower sensitivity keeps are never displaced.
// Same interface as SceneDetector.
class TunedSceneDetector {
 public:
  TunedSceneDetector(const SceneDetectorOptions& options, double sensitivity);
  ~TunedSceneDetector();
  TunedSceneDetector(const TunedSceneDetector&) = delete;
  TunedSceneDetector& operator=(const TunedSceneDetector&) = delete;

  void Push(uint64_t frame, double score, std::span<const uint8_t> thumb);
  std::vector<SceneBoundary> TakeDecided();
  uint64_t FinalBefore() const;
  void Finish();

 private:
  struct Pending {
    SceneBoundary boundary;
    bool base = false;  // found at the default bars: always kept
  };
  // Takes what the detectors decided and emits the runs of boundaries that
  // no later boundary can come within min_scene_len of (below `horizon`).
  void Resolve(uint64_t horizon);
  void EmitRun(size_t count);

  uint64_t min_len_;
  double bar_;
  SceneDetector base_;
  std::unique_ptr<SceneDetector> extra_;  // above 0.5 only
  std::vector<Pending> pending_;          // start order
  std::vector<SceneBoundary> decided_;
};

// The bar scale of `sensitivity`: 4^(0.5 - sensitivity), from 2 at 0 down
// to 0.5 at 1; exactly 1 at 0.5.
double SensitivityBar(double sensitivity);

}  // namespace velmar::video
