#include "video/scene_detection.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "common/panic.hpp"

namespace velmar::video {

void MakeThumbnail(std::span<const uint8_t> gray, uint64_t width, uint64_t height,
                   std::span<uint8_t> out) {
  if (width == 0 || height == 0 || gray.size() / width < height || out.size() < kThumbSize) {
    throw Panic("MakeThumbnail: picture or thumbnail buffer too small");
  }
  // Cell boundaries: source column x belongs to thumbnail column
  // x * kThumbWidth / width. A picture narrower than the thumbnail gives
  // empty cells; those take the source pixel under the cell's centre.
  uint32_t sums[kThumbSize] = {};
  uint32_t counts[kThumbSize] = {};
  for (uint64_t y = 0; y < height; ++y) {
    const uint8_t* row = gray.data() + y * width;
    const uint64_t ty = y * kThumbHeight / height;
    uint32_t* sum_row = sums + ty * kThumbWidth;
    uint32_t* count_row = counts + ty * kThumbWidth;
    for (uint64_t x = 0; x < width; ++x) {
      const uint64_t tx = x * kThumbWidth / width;
      sum_row[tx] += row[x];
      ++count_row[tx];
    }
  }
  for (uint64_t ty = 0; ty < kThumbHeight; ++ty) {
    for (uint64_t tx = 0; tx < kThumbWidth; ++tx) {
      const uint64_t i = ty * kThumbWidth + tx;
      if (counts[i] == 0) {
        const uint64_t sx = (2 * tx + 1) * width / (2 * kThumbWidth);
        const uint64_t sy = (2 * ty + 1) * height / (2 * kThumbHeight);
        out[i] = gray[sy * width + sx];
      } else {
        out[i] = static_cast<uint8_t>((sums[i] + counts[i] / 2) / counts[i]);
      }
    }
  }
}

struct SceneDetector::State {
  SceneDetectorOptions options;
  uint64_t lookahead = 0;
  uint64_t capacity = 0;  // ring size, a power of two
  std::vector<double> scores;
  std::vector<uint8_t> thumbs;
  uint64_t pushed = 0;       // frames pushed so far
  uint64_t next_cut = 1;     // the next frame to decide on as a cut
  bool have_boundary = false;
  uint64_t last_start = 0;
  std::vector<SceneBoundary> decided;

  double Score(uint64_t frame) const { return scores[frame & (capacity - 1)]; }
  const uint8_t* Thumb(uint64_t frame) const {
    return thumbs.data() + (frame & (capacity - 1)) * kThumbSize;
  }

  double ThumbDistance(uint64_t a, uint64_t b) const {
    const uint8_t* ta = Thumb(a);
    const uint8_t* tb = Thumb(b);
    uint64_t sum = 0;
    for (uint64_t i = 0; i < kThumbSize; ++i) sum += ta[i] > tb[i] ? ta[i] - tb[i] : tb[i] - ta[i];
    return static_cast<double>(sum) / kThumbSize;
  }

  // Frames [0, end) have arrived.
  bool IsCut(uint64_t n, uint64_t end) const {
    const double s = Score(n);
    if (s < options.cut_floor) return false;
    double around = 0.0;
    uint64_t count = 0;
    for (uint64_t k = 1; k <= options.cut_context; ++k) {
      if (n >= k + 1) around += Score(n - k), ++count;
      if (n + k < end) around += Score(n + k), ++count;
    }
    const double mean = count ? around / count : 0.0;
    const double ratio = s >= options.cut_strong ? options.cut_strong_ratio : options.cut_ratio;
    if (s < ratio * mean) return false;
    // A flash: a frame shortly after comes back to the picture before.
    const double jump = ThumbDistance(n - 1, n);
    for (uint64_t k = 1; k <= options.flash_frames && n + k < end; ++k) {
      if (ThumbDistance(n - 1, n + k) <= options.flash_match * jump) return false;
    }
    return true;
  }

  void Emit(const SceneBoundary& b) {
    if (have_boundary && b.start_frame < last_start + options.min_scene_len) return;
    if (!have_boundary && b.start_frame < options.min_scene_len) return;
    have_boundary = true;
    last_start = b.start_frame;
    decided.push_back(b);
  }

  void DecideUpTo(uint64_t limit, uint64_t end) {
    for (; next_cut < limit; ++next_cut) {
      if (IsCut(next_cut, end)) {
        Emit({next_cut, next_cut, next_cut, TransitionKind::kCut});
      }
    }
  }
};

uint64_t SceneDetector::Lookahead(const SceneDetectorOptions& options) {
  return std::max(options.cut_context, options.flash_frames) + 1;
}

SceneDetector::SceneDetector(const SceneDetectorOptions& options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.options = options;
  s.lookahead = Lookahead(options);
  s.capacity = std::bit_ceil(2 * s.lookahead + 2);
  s.scores.assign(s.capacity, 0.0);
  s.thumbs.assign(s.capacity * kThumbSize, 0);
  s.decided.reserve(16);
}

SceneDetector::~SceneDetector() = default;

void SceneDetector::Push(uint64_t frame, double score, std::span<const uint8_t> thumb) {
  State& s = *state_;
  if (frame != s.pushed || thumb.size() < kThumbSize) {
    throw Panic("SceneDetector::Push: frames out of order or thumbnail too small");
  }
  s.scores[frame & (s.capacity - 1)] = frame == 0 ? 0.0 : std::clamp(score, 0.0, 255.0);
  std::memcpy(s.thumbs.data() + (frame & (s.capacity - 1)) * kThumbSize, thumb.data(), kThumbSize);
  ++s.pushed;
  if (s.pushed > s.lookahead) s.DecideUpTo(s.pushed - s.lookahead, s.pushed);
}

std::vector<SceneBoundary> SceneDetector::TakeDecided() {
  std::vector<SceneBoundary> out;
  out.swap(state_->decided);
  return out;
}

uint64_t SceneDetector::FinalBefore() const { return state_->next_cut; }

void SceneDetector::Finish() {
  State& s = *state_;
  s.DecideUpTo(s.pushed, s.pushed);
  s.next_cut = std::max(s.next_cut, s.pushed);
}

}  // namespace velmar::video
