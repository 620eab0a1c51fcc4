#include "video/libav/scene_mode.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

namespace velmar::video {

namespace {

// The frames a scene's picture may come from: past the transition that
// opened it and the settling frames after it, before the transition that
// closes it. Empty (lo > hi) for a scene too short to have any.
struct CleanRange {
  uint64_t lo;
  uint64_t hi;
};

CleanRange CleanFrames(uint64_t start, uint64_t end, const SceneBoundary& opened,
                       const SceneBoundary* closing) {
  const uint64_t lo = std::max(start, opened.last_frame + kSceneSettleFrames);
  uint64_t hi = end;
  if (closing != nullptr && closing->first_frame <= end) {
    hi = closing->first_frame == 0 ? 0 : std::min(end, closing->first_frame - 1);
  }
  return {lo, hi};
}

// True when frame `f` of [start, end] lies inside a gradual transition
// around the scene (a cut's frame is the new shot's first, a clean frame).
bool InTransition(uint64_t f, const SceneBoundary& opened, const SceneBoundary* closing) {
  if (opened.kind != TransitionKind::kCut && opened.kind != TransitionKind::kStart &&
      f <= opened.last_frame) {
    return true;
  }
  return closing != nullptr && closing->kind != TransitionKind::kCut && f >= closing->first_frame;
}

uint64_t Distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

// The stillness of frame `f` (PictureCandidate) from the scores of frames
// `from` (the first that counts) to `to` (the last known).
double Stillness(const std::vector<double>& scores, uint64_t f, uint64_t from, uint64_t to) {
  // The first frames of a segment have no scores before them to show how
  // calm they are; they rank below every frame that has.
  if (f < from + kSceneSettleFrames) return 256.0;
  const uint64_t first = std::max(from, f >= kSceneSettleFrames - 1 ? f - (kSceneSettleFrames - 1) : 0);
  double most = 0.0;
  for (uint64_t i = first; i <= std::min(f + 1, to); ++i) {
    if (i > from) most = std::max(most, scores[i]);  // the first frame's score says nothing
  }
  return most;
}

// A score that jumps well above the two before it: likely a cut.
bool LikelyCut(const std::vector<double>& scores, uint64_t n) {
  const double before = std::max(n >= 1 ? scores[n - 1] : 0.0, n >= 2 ? scores[n - 2] : 0.0);
  return scores[n] >= kCutFloor && scores[n] >= kCutRatio * before;
}

}  // namespace

int ChoosePicture(const std::vector<PictureCandidate>& candidates, uint64_t start, uint64_t end,
                  const SceneBoundary& opened, const SceneBoundary* closing) {
  const CleanRange clean = CleanFrames(start, end, opened, closing);
  int best = -1;
  if (clean.lo <= clean.hi) {
    const uint64_t quarter = (clean.hi - clean.lo) / 4;
    const uint64_t mid_lo = clean.lo + quarter;
    const uint64_t mid_hi = clean.hi - quarter;
    for (size_t i = 0; i < candidates.size(); ++i) {
      const PictureCandidate& c = candidates[i];
      if (c.frame < mid_lo || c.frame > mid_hi) continue;
      if (best < 0 || c.BetterThan(candidates[static_cast<size_t>(best)])) {
        best = static_cast<int>(i);
      }
    }
    if (best >= 0) return best;
  }
  // No kept frame in the middle half: the one nearest the middle, of the
  // clean frames if any, else of the frames outside the transitions.
  const bool has_clean = clean.lo <= clean.hi;
  const uint64_t lo = has_clean ? clean.lo : start;
  const uint64_t hi = has_clean ? clean.hi : end;
  const uint64_t middle = lo + (hi - lo) / 2;
  for (int pass = 0; pass < 2 && best < 0; ++pass) {
    for (size_t i = 0; i < candidates.size(); ++i) {
      const uint64_t f = candidates[i].frame;
      const bool allowed = pass == 0 ? (has_clean && f >= clean.lo && f <= clean.hi)
                                     : (f >= start && f <= end && !InTransition(f, opened, closing));
      if (!allowed) continue;
      if (best < 0 ||
          Distance(f, middle) < Distance(candidates[static_cast<size_t>(best)].frame, middle)) {
        best = static_cast<int>(i);
      }
    }
  }
  return best;
}

std::vector<size_t> ChoosePictures(const std::vector<PictureCandidate>& candidates, size_t best,
                                   uint64_t count, uint64_t start, uint64_t end,
                                   const SceneBoundary& opened, const SceneBoundary* closing) {
  const CleanRange clean = CleanFrames(start, end, opened, closing);
  const bool has_clean = clean.lo <= clean.hi;
  const uint64_t lo = has_clean ? clean.lo : start;
  const uint64_t span = (has_clean ? clean.hi : end) - lo + 1;
  auto eligible = [&](uint64_t f) {
    return has_clean ? f >= clean.lo && f <= clean.hi
                     : f >= start && f <= end && !InTransition(f, opened, closing);
  };
  auto part_of = [&](uint64_t f) { return std::min(count - 1, (f - lo) * count / span); };
  std::vector<int> chosen(count, -1);  // per part
  std::vector<bool> taken(candidates.size(), false);
  chosen[eligible(candidates[best].frame) ? part_of(candidates[best].frame) : 0] =
      static_cast<int>(best);
  taken[best] = true;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (taken[i] || !eligible(candidates[i].frame)) continue;
    int& slot = chosen[part_of(candidates[i].frame)];
    if (slot == static_cast<int>(best)) continue;
    if (slot < 0 || candidates[i].BetterThan(candidates[static_cast<size_t>(slot)])) {
      if (slot >= 0) taken[static_cast<size_t>(slot)] = false;
      slot = static_cast<int>(i);
      taken[i] = true;
    }
  }
  std::vector<size_t> out;
  for (int slot : chosen) {
    if (slot >= 0) out.push_back(static_cast<size_t>(slot));
  }
  // Empty parts: the best of the eligible candidates left.
  while (out.size() < count) {
    int pick = -1;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (taken[i] || !eligible(candidates[i].frame)) continue;
      if (pick < 0 || candidates[i].BetterThan(candidates[static_cast<size_t>(pick)])) {
        pick = static_cast<int>(i);
      }
    }
    if (pick < 0) break;
    taken[static_cast<size_t>(pick)] = true;
    out.push_back(static_cast<size_t>(pick));
  }
  std::sort(out.begin(), out.end());  // candidates are in frame order
  return out;
}

uint64_t StillestFrame(const std::vector<double>& scores, uint64_t start, uint64_t end,
                       const SceneBoundary& opened, const SceneBoundary* closing) {
  const CleanRange clean = CleanFrames(start, end, opened, closing);
  if (clean.lo > clean.hi) return start + (end - start) / 2;
  const uint64_t quarter = (clean.hi - clean.lo) / 4;
  uint64_t best = clean.lo + quarter;
  double best_stillness = -1;
  for (uint64_t f = clean.lo + quarter; f <= clean.hi - quarter; ++f) {
    const double stillness = Stillness(scores, f, start, scores.size() - 1);
    if (best_stillness < 0 || stillness < best_stillness) {
      best = f;
      best_stillness = stillness;
    }
  }
  return best;
}

SceneMode::SceneMode(const ScanOptions& options, ScanOutcome* out, ScanImages* images)
    : out_(*out), images_(*images), sensitivity_(options.sensitivity), thumb_(kThumbSize) {
  detector_options_.min_scene_len = options.min_scene_len;
  detector_options_.fade_gap = FadeGapFrames(out->fps);
  per_scene_ = std::max<uint64_t>(1, options.images_per_scene);
  if (per_scene_ > 1) {
    block_ = std::max(kMinCandidateBlock, kCandidateBlock / per_scene_);
    settled_blocks_ = std::max<uint64_t>(3, 2 * per_scene_);
  }
  min_block_ = std::clamp<uint64_t>(options.min_scene_len, kMinCandidateBlock, block_);
  detector_ = std::make_unique<TunedSceneDetector>(detector_options_, sensitivity_);
}

SceneMode::~SceneMode() = default;

bool SceneMode::HoldsPictures() const { return images_.HasRoom(); }

bool SceneMode::StartsBlock(const ScanFrame& frame) const {
  const uint64_t n = frame.number;
  if (n - block_start_ >= block_) return true;
  if (!frame.size_changed && !LikelyCut(out_.scores, n)) return false;
  if (n - block_start_ >= min_block_) return true;
  const auto undecided = std::count_if(candidates_.begin(), candidates_.end(),
                                       [&](const PictureCandidate& c) { return c.frame >= final_before_; });
  return static_cast<size_t>(undecided) < kMaxUndecidedCandidates;
}

void SceneMode::OnFrame(const ScanFrame& frame) {
  const uint64_t n = frame.number;
  const std::vector<double>& scores = out_.scores;
  if (has_previous_) {
    // Frame n - 1's motion on both sides is known now; across a change of
    // picture size only the side before counts.
    Offer(n - 1, Stillness(scores, n - 1, base_, frame.size_changed ? n - 1 : n), previous_.get(),
          previous_exact_);
  }
  if (StartsBlock(frame)) block_start_ = n;
  if (frame.size_changed) {
    // A new picture size is a boundary of its own: the detector's windows
    // end here, and a new detector starts from this frame.
    detector_->Finish();
    Drain();
    CloseScene(SceneBoundary{n, n, n, TransitionKind::kCut});
    detector_ = std::make_unique<TunedSceneDetector>(detector_options_, sensitivity_);
    base_ = n;
  }
  MakeThumbnail(frame.gray, frame.width, frame.height, thumb_);
  plain_.push_back(IsPlainThumbnail(thumb_, detector_options_.flat_level));
  detector_->Push(n - base_, n == base_ ? 0.0 : frame.score, thumb_);
  Drain();
  final_before_ = base_ + detector_->FinalBefore();
  Compact();
  previous_ = HoldsPictures() ? RefAvFrame(frame.picture) : AvFramePtr();
  previous_exact_ = frame.picture == nullptr || frame.picture->pict_type != AV_PICTURE_TYPE_B;
  has_previous_ = true;
}

void SceneMode::Finish() {
  const uint64_t frames = out_.scores.size();
  if (has_previous_) {
    const uint64_t last = frames - 1;
    Offer(last, Stillness(out_.scores, last, base_, last), previous_.get(), previous_exact_);
    previous_.reset();
  }
  detector_->Finish();
  Drain();
  EmitScene(frames - 1, nullptr);
}

void SceneMode::Offer(uint64_t frame, double stillness, const AVFrame* picture, bool exact) {
  AvFramePtr held = picture != nullptr && HoldsPictures() ? RefAvFrame(picture) : AvFramePtr();
  if (!candidates_.empty()) {
    PictureCandidate& last = candidates_.back();
    if (last.frame >= final_before_ && last.frame >= block_start_) {
      // On a tie the later frame wins up to the block's middle, which keeps
      // a still shot's picture away from its first frames.
      PictureCandidate offered{frame, stillness, std::move(held), exact};
      const bool better = offered.BetterThan(last) ||
                          (!last.BetterThan(offered) && frame - block_start_ <= block_ / 2);
      if (better) last = std::move(offered);
      return;
    }
  }
  candidates_.push_back(PictureCandidate{frame, stillness, std::move(held), exact});
}

void SceneMode::Compact() {
  // The open scene's frames below final_before_ can no longer be split by a
  // boundary: keep the stillest of each of at most three blocks, whose size
  // doubles as the scene grows, so that the scene's middle stays covered.
  const uint64_t start = opened_.start_frame;
  if (final_before_ <= start) return;
  uint64_t block = block_;
  while (final_before_ - start > settled_blocks_ * block) block *= 2;
  size_t kept = 0;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    PictureCandidate& c = candidates_[i];
    const bool settled = c.frame < final_before_;
    if (settled && kept > 0) {
      PictureCandidate& prev = candidates_[kept - 1];
      if (prev.frame < final_before_ && (prev.frame - start) / block == (c.frame - start) / block) {
        if (c.BetterThan(prev)) prev = std::move(c);
        continue;
      }
    }
    if (kept != i) candidates_[kept] = std::move(c);
    ++kept;
  }
  candidates_.resize(kept);
}

void SceneMode::Drain() {
  for (SceneBoundary b : detector_->TakeDecided()) {
    b.first_frame += base_;
    b.last_frame += base_;
    b.start_frame += base_;
    CloseScene(b);
  }
}

void SceneMode::CloseScene(const SceneBoundary& next) {
  if (next.start_frame <= opened_.start_frame) return;  // never an empty scene
  EmitScene(next.start_frame - 1, &next);
  opened_ = next;
}

bool SceneMode::IsBlank(uint64_t start, uint64_t end, const SceneBoundary* closing) const {
  // The frames of the transitions around it are those of the fades into
  // and out of the plain picture; a scene that is all transition is judged
  // on all of its frames.
  bool any_own = false, own_plain = true, all_plain = true;
  for (uint64_t f = start; f <= end; ++f) {
    all_plain = all_plain && plain_[f];
    if (InTransition(f, opened_, closing)) continue;
    any_own = true;
    own_plain = own_plain && plain_[f];
  }
  return any_own ? own_plain : all_plain;
}

void SceneMode::EmitScene(uint64_t end, const SceneBoundary* closing) {
  const uint64_t start = opened_.start_frame;
  const bool blank = IsBlank(start, end, closing);
  // A blank scene gets no picture (there is nothing to see in it), unless
  // it is all the video holds.
  const bool pictured = !blank || (closing == nullptr && out_.scenes.empty());
  auto past = std::find_if(candidates_.begin(), candidates_.end(),
                           [&](const PictureCandidate& c) { return c.frame > end; });
  std::vector<PictureCandidate> own(std::make_move_iterator(candidates_.begin()),
                                    std::make_move_iterator(past));
  candidates_.erase(candidates_.begin(), past);

  const int chosen = pictured ? ChoosePicture(own, start, end, opened_, closing) : -1;
  const uint64_t number = out_.scenes.size() + 1;
  ScanScene scene;
  ScanKeyframe keyframe;
  if (chosen >= 0) {
    const PictureCandidate& c = own[static_cast<size_t>(chosen)];
    keyframe = KeyframeOf(out_, c.frame);
    // The best picture is written first, so that max_save never leaves a
    // scene without it for the sake of its others.
    if (c.picture != nullptr && images_.HasRoom()) images_.Write(c.picture.get(), &keyframe, number);
    if (per_scene_ > 1) {
      for (size_t i : ChoosePictures(own, static_cast<size_t>(chosen), per_scene_, start, end,
                                     opened_, closing)) {
        if (i == static_cast<size_t>(chosen)) {
          scene.pictures.push_back(keyframe);
          continue;
        }
        scene.pictures.push_back(KeyframeOf(out_, own[i].frame));
        if (own[i].picture != nullptr && images_.HasRoom()) {
          images_.Write(own[i].picture.get(), &scene.pictures.back(), number);
        }
      }
    }
  } else if (pictured) {
    keyframe = KeyframeOf(out_, StillestFrame(out_.scores, start, end, opened_, closing));
  }
  own.clear();  // the colour frames go as soon as the scene is written

  scene.start_frame = start;
  scene.end_frame = end;
  scene.start_time = out_.times[start];
  scene.end_time = SceneEndTime(out_, end);
  scene.transition = opened_.kind;
  scene.transition_first = opened_.first_frame;
  scene.transition_last = opened_.last_frame;
  scene.blank = blank;
  if (pictured) {
    scene.keyframe = keyframe;
    out_.keyframes.push_back(keyframe);
  }
  out_.scenes.push_back(std::move(scene));
}

}  // namespace velmar::video
