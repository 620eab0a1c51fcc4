#pragma once

// Scene detection in a scan: the detector's boundaries become scenes, and
// each scene gets its picture, written as soon as the scene closes.

#include <cstdint>
#include <memory>
#include <vector>

#include "video/libav/decoder.hpp"
#include "video/libav/scan_modes.hpp"
#include "video/scene_detection.hpp"

namespace velmar::video {

// Frames skipped after a boundary (or the first frame) before a frame may
// be a scene's picture: the first frames of a shot are often still settling
// (a camera starting to move, compression catching up after the cut).
inline constexpr uint64_t kSceneSettleFrames = 3;

// The frames still undecided (within the detector's look-ahead) keep one
// candidate picture per block of frames: a block ends after this many
// frames, or earlier where a score jumps (a likely cut), so that a short
// shot keeps a candidate of its own.
inline constexpr uint64_t kCandidateBlock = 16;
inline constexpr uint64_t kMinCandidateBlock = 4;
// A likely cut always starts a block of its own while the undecided frames
// (up to twice the detector's longest transition) hold fewer candidates than
// this, so that a shot shorter than a block (the last few frames of a video,
// say) keeps a picture of its own; past it, the block sizes above bound the
// colour frames held (16 of 3 MB at 1080p).
inline constexpr size_t kMaxUndecidedCandidates = 16;

// The picture of a scene, chosen among the frames a scan kept: never inside
// a transition, never in the first kSceneSettleFrames after the boundary
// that opened the scene, and the stillest (lowest motion on both sides) in
// the middle half of what remains; failing that, the kept frame nearest the
// scene's middle.
struct PictureCandidate {
  uint64_t frame = 0;
  // The largest score from kSceneSettleFrames - 1 frames before the frame to
  // the frame after it: low only for a frame in a calm stretch.
  double stillness = 0.0;
  AvFramePtr picture;      // null when no image will be written
  // False for a B picture, which scene detection decodes without the
  // deblocking filter: any exact picture is preferred to it.
  bool exact = true;

  // True when this is a better picture than `other`: exact before
  // approximate, then the stiller.
  bool BetterThan(const PictureCandidate& other) const {
    return exact != other.exact ? exact : stillness < other.stillness;
  }
};

// The chosen candidate's index in `candidates` (those of one scene, in frame
// order), or -1 when none lies in the scene outside its transitions.
// `opened` and `closing` are the transitions around [start, end]; closing is
// null for the last scene.
int ChoosePicture(const std::vector<PictureCandidate>& candidates, uint64_t start, uint64_t end,
                  const SceneBoundary& opened, const SceneBoundary* closing);

// The scene's pictures when it has `count` (>= 1) of them: indexes into
// `candidates`, in frame order, `best` (ChoosePicture's) among them. The
// calm frames (as ChoosePicture sees them) are split into `count` equal
// parts and each gives its best candidate; parts without one leave room
// for the best of the rest. Fewer when the scene has fewer candidates.
std::vector<size_t> ChoosePictures(const std::vector<PictureCandidate>& candidates, size_t best,
                                   uint64_t count, uint64_t start, uint64_t end,
                                   const SceneBoundary& opened, const SceneBoundary* closing);

// The frame ChoosePicture prefers, found from the scores alone (every frame
// a candidate); for a scene whose kept frames all fell inside a transition.
uint64_t StillestFrame(const std::vector<double>& scores, uint64_t start, uint64_t end,
                       const SceneBoundary& opened, const SceneBoundary* closing);

class SceneMode final : public ScanMode {
 public:
  SceneMode(const ScanOptions& options, ScanOutcome* out, ScanImages* images);
  ~SceneMode() override;

  void OnFrame(const ScanFrame& frame) override;
  void Finish() override;

 private:
  // Candidates in the undecided part keep one per kCandidateBlock frames;
  // those of the open scene below the detector's final frame, at most three
  // (blocks that double as the scene grows), which keeps its middle.
  void Offer(uint64_t frame, double stillness, const AVFrame* picture, bool exact);
  void Compact();
  // Takes the detector's new boundaries and closes the scenes they end.
  void Drain();
  void CloseScene(const SceneBoundary& next);
  void EmitScene(uint64_t end, const SceneBoundary* closing);
  bool HoldsPictures() const;
  // Whether frame `n` starts a new candidate block.
  bool StartsBlock(const ScanFrame& frame) const;
  // Whether the scene [start, end] is blank (ScanScene::blank).
  bool IsBlank(uint64_t start, uint64_t end, const SceneBoundary* closing) const;

  SceneDetectorOptions detector_options_;
  ScanOutcome& out_;
  ScanImages& images_;
  double sensitivity_;
  std::unique_ptr<TunedSceneDetector> detector_;
  uint64_t base_ = 0;  // the frame the detector counts from
  std::vector<uint8_t> thumb_;
  std::vector<bool> plain_;  // per frame: its thumbnail is one flat colour
  SceneBoundary opened_{0, 0, 0, TransitionKind::kStart};
  std::vector<PictureCandidate> candidates_;  // frame order
  uint64_t final_before_ = 0;
  AvFramePtr previous_;  // frame n - 1, offered once frame n's score is known
  bool previous_exact_ = true;
  bool has_previous_ = false;
  uint64_t block_start_ = 0;  // the undecided block the next candidate joins
  uint64_t min_block_ = kMinCandidateBlock;
  // Several pictures a scene need candidates closer together: smaller
  // blocks, and more of them kept in the open scene.
  uint64_t per_scene_ = 1;
  uint64_t block_ = kCandidateBlock;
  uint64_t settled_blocks_ = 3;
};

}  // namespace velmar::video
