#include "video/libav/scan_modes.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include "video/libav/decoder.hpp"
#include "video/libav/scene_mode.hpp"
#include "video/selection.hpp"

namespace velmar::video {

namespace {

// The colour frames a mode holds as they are, in bytes; beyond this an image
// not final yet is held encoded (a few hundred KB at 1080p instead of the
// frame's 3 MB), so the memory of a scan does not grow with k.
constexpr size_t kRawPictureBudget = 32 << 20;

// An image not final yet: its colour frame, or its encoded bytes.
struct HeldImage {
  uint64_t frame_number;
  double score;
  AvFramePtr picture;
  VideoResult<std::vector<uint8_t>> bytes;
  size_t raw_size = 0;
};

// Holds the images of the best `capacity` candidates seen so far: higher
// score first, the earlier frame first on equal scores. Frames arrive in
// order, so a later frame with an equal score never displaces an earlier
// one; a frame is kept (or encoded) only when it ranks among the best.
class BestImages {
 public:
  BestImages(uint64_t capacity, ScanImages* images) : capacity_(capacity), images_(images) {}

  void Offer(uint64_t frame_number, double score, const AVFrame* picture) {
    if (capacity_ == 0) return;
    if (kept_.size() < capacity_) {
      kept_.push_back(Hold(frame_number, score, picture));
      return;
    }
    auto worst = std::min_element(kept_.begin(), kept_.end(), Worse);
    if (!(score > worst->score)) return;
    raw_bytes_ -= worst->raw_size;
    *worst = Hold(frame_number, score, picture);
  }

  // Writes the held image of each keyframe that has one; frees them all.
  // A name's {scene} is the keyframe's place in frame order, from 1.
  void WriteFor(std::vector<ScanKeyframe>& keyframes) {
    std::sort(kept_.begin(), kept_.end(), [](const HeldImage& a, const HeldImage& b) {
      return a.frame_number < b.frame_number;
    });
    auto next = kept_.begin();
    uint64_t place = 0;
    for (ScanKeyframe& keyframe : keyframes) {
      ++place;
      while (next != kept_.end() && next->frame_number < keyframe.frame_number) ++next;
      if (next != kept_.end() && next->frame_number == keyframe.frame_number) {
        if (next->picture != nullptr) {
          images_->Write(next->picture.get(), &keyframe, place);
          next->picture.reset();
        } else {
          images_->WriteEncoded(next->bytes, &keyframe, place);
        }
      }
    }
    kept_.clear();
    raw_bytes_ = 0;
  }

 private:
  HeldImage Hold(uint64_t frame_number, double score, const AVFrame* picture) {
    const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(picture->format),
                                              picture->width, picture->height, 1);
    const size_t raw = size > 0 ? static_cast<size_t>(size) : SIZE_MAX;
    if (raw <= kRawPictureBudget - std::min(raw_bytes_, kRawPictureBudget)) {
      raw_bytes_ += raw;
      return HeldImage{frame_number, score, RefAvFrame(picture), {}, raw};
    }
    return HeldImage{frame_number, score, nullptr, images_->Encode(picture, frame_number), 0};
  }

  static bool Worse(const HeldImage& a, const HeldImage& b) {
    if (a.score != b.score) return a.score < b.score;
    return a.frame_number > b.frame_number;
  }
  uint64_t capacity_;
  ScanImages* images_;
  std::vector<HeldImage> kept_;
  size_t raw_bytes_ = 0;
};

uint64_t ImageCapacity(const ScanOptions& options, uint64_t k) {
  return options.output_dir.has_value() ? std::min(k, options.max_save) : 0;
}

// max_keyframes alone: the k highest-scoring frames of the whole video.
class TopKMode final : public ScanMode {
 public:
  TopKMode(const ScanOptions& options, ScanOutcome* out, ScanImages* images)
      : k_(*options.max_keyframes), out_(*out), best_(ImageCapacity(options, k_), images) {}

  void OnFrame(const ScanFrame& frame) override {
    if (frame.number > 0) best_.Offer(frame.number, frame.score, frame.picture);
  }

  void Finish() override {
    const uint64_t n = out_.scores.size();
    std::vector<PairEntry> entries(n - 1);
    for (uint64_t i = 1; i < n; ++i) entries[i - 1] = PairEntry{i, out_.scores[i]};
    for (uint64_t position :
         SelectFromScores(std::move(entries), k_, false, std::chrono::steady_clock::now())) {
      out_.keyframes.push_back(KeyframeOf(out_, position));
    }
    best_.WriteFor(out_.keyframes);
  }

 private:
  uint64_t k_;
  ScanOutcome& out_;
  BestImages best_;
};

// threshold (with or without max_keyframes): cuts by the fixed rule. Alone,
// each cut's image is written as the cut is found; with max_keyframes the k
// highest cuts, whose images are final only at the end.
class ThresholdMode final : public ScanMode {
 public:
  ThresholdMode(const ScanOptions& options, ScanOutcome* out, ScanImages* images)
      : options_(options),
        out_(*out),
        images_(*images),
        rule_(*options.threshold, options.min_scene_len),
        best_(ImageCapacity(options, options.max_keyframes.value_or(0)), images) {}

  void OnFrame(const ScanFrame& frame) override {
    if (frame.number == 0) return;
    // A change of picture size is a cut whatever its score.
    const double rule_score =
        frame.size_changed ? std::numeric_limits<double>::infinity() : frame.score;
    if (!rule_.IsCut(frame.number, rule_score)) return;
    cuts_.push_back(KeyframeOf(out_, frame.number));
    if (options_.max_keyframes.has_value()) {
      best_.Offer(frame.number, frame.score, frame.picture);
    } else if (images_.HasRoom()) {
      images_.Write(frame.picture, &cuts_.back(), cuts_.size() + 1);  // the scene it opens
    }
  }

  void Finish() override {
    if (options_.max_keyframes.has_value()) {
      // The k highest cuts: the top-k selection over the cuts alone.
      std::vector<PairEntry> entries;
      for (const ScanKeyframe& cut : cuts_) entries.push_back({cut.frame_number, cut.score});
      std::vector<uint64_t> chosen = SelectFromScores(std::move(entries), *options_.max_keyframes,
                                                      false, std::chrono::steady_clock::now());
      for (uint64_t position : chosen) out_.keyframes.push_back(KeyframeOf(out_, position));
      best_.WriteFor(out_.keyframes);
      // The scenes' keyframes carry the paths written.
      auto kept = out_.keyframes.begin();
      for (ScanKeyframe& cut : cuts_) {
        while (kept != out_.keyframes.end() && kept->frame_number < cut.frame_number) ++kept;
        if (kept != out_.keyframes.end() && kept->frame_number == cut.frame_number) cut = *kept;
      }
    } else {
      out_.keyframes = cuts_;
    }
    AddCutScenes();
  }

 private:
  // The scenes between the cuts: the first from frame 0, then one per cut.
  void AddCutScenes() {
    const uint64_t frames = out_.scores.size();
    ScanScene first;
    first.keyframe = KeyframeOf(out_, 0);
    out_.scenes.push_back(first);
    for (const ScanKeyframe& cut : cuts_) {
      ScanScene scene;
      scene.start_frame = cut.frame_number;
      scene.transition = TransitionKind::kCut;
      scene.transition_first = scene.transition_last = cut.frame_number;
      scene.keyframe = cut;
      out_.scenes.push_back(std::move(scene));
    }
    for (size_t i = 0; i < out_.scenes.size(); ++i) {
      ScanScene& scene = out_.scenes[i];
      scene.end_frame = i + 1 < out_.scenes.size() ? out_.scenes[i + 1].start_frame - 1 : frames - 1;
      scene.start_time = out_.times[scene.start_frame];
      scene.end_time = SceneEndTime(out_, scene.end_frame);
    }
  }

  const ScanOptions& options_;
  ScanOutcome& out_;
  ScanImages& images_;
  ThresholdCutRule rule_;
  BestImages best_;
  std::vector<ScanKeyframe> cuts_;
};

}  // namespace

ScanKeyframe KeyframeOf(const ScanOutcome& out, uint64_t n) {
  return ScanKeyframe{n, out.times[n], out.scores[n], std::nullopt};
}

double SceneEndTime(const ScanOutcome& out, uint64_t end) {
  return end + 1 < out.times.size() ? out.times[end + 1] : out.duration;
}

std::unique_ptr<ScanMode> MakeScanMode(const ScanOptions& options, ScanOutcome* out,
                                       ScanImages* images) {
  if (options.threshold.has_value()) return std::make_unique<ThresholdMode>(options, out, images);
  if (options.max_keyframes.has_value()) return std::make_unique<TopKMode>(options, out, images);
  return std::make_unique<SceneMode>(options, out, images);
}

}  // namespace velmar::video
