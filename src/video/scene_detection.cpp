#include "video/scene_detection.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "common/panic.hpp"

namespace velmar::video {

namespace {

// edges[c] = the first source index of cell c (source x belongs to cell
// x * cells / size, so cell c starts at ceil(c * size / cells)).
template <uint64_t kCells>
std::array<uint64_t, kCells + 1> CellEdges(uint64_t size) {
  std::array<uint64_t, kCells + 1> edges;
  for (uint64_t c = 0; c <= kCells; ++c) edges[c] = (c * size + kCells - 1) / kCells;
  return edges;
}

}  // namespace

void MakeThumbnail(std::span<const uint8_t> gray, uint64_t width, uint64_t height,
                   std::span<uint8_t> out) {
  if (width == 0 || height == 0 || gray.size() / width < height || out.size() < kThumbSize) {
    throw Panic("MakeThumbnail: picture or thumbnail buffer too small");
  }
  const auto cols = CellEdges<kThumbWidth>(width);
  const auto rows = CellEdges<kThumbHeight>(height);
  for (uint64_t ty = 0; ty < kThumbHeight; ++ty) {
    // A picture smaller than the thumbnail leaves cells without a pixel of
    // their own; they take the one under their centre.
    const uint64_t y0 = rows[ty], y1 = std::max(rows[ty + 1], y0 + 1);
    const uint64_t yc = std::min((2 * ty + 1) * height / (2 * kThumbHeight), height - 1);
    for (uint64_t tx = 0; tx < kThumbWidth; ++tx) {
      uint64_t x0 = cols[tx], x1 = cols[tx + 1];
      uint64_t ya = y0, yb = y1;
      if (x1 <= x0) x0 = std::min((2 * tx + 1) * width / (2 * kThumbWidth), width - 1), x1 = x0 + 1;
      if (rows[ty + 1] <= rows[ty]) ya = yc, yb = yc + 1;
      uint32_t sum = 0;
      for (uint64_t y = ya; y < yb; ++y) {
        const uint8_t* row = gray.data() + y * width;
        for (uint64_t x = x0; x < x1; ++x) sum += row[x];
      }
      const uint32_t count = static_cast<uint32_t>((yb - ya) * (x1 - x0));
      out[ty * kThumbWidth + tx] = static_cast<uint8_t>((sum + count / 2) / count);
    }
  }
}

namespace {

// Window lengths tried for gradual transitions, each frame as their end.
constexpr std::array<uint64_t, 10> kWindowLengths = {4, 6, 8, 11, 14, 18, 23, 29, 36, kMaxTransition};
static_assert(kWindowLengths.back() == kMaxTransition);

enum class Shape { kDissolve, kWipe, kFadeIn, kFadeOut };

// A window [a, b] that passed as one gradual transition.
struct Window {
  double quality = 0.0;
  uint64_t a = 0, b = 0, middle = 0;
  uint64_t first = 0, last = 0;  // the frames part-way from one end to the other
  Shape shape = Shape::kDissolve;
  bool decided = false;
};

bool Overlap(const Window& x, const Window& y) { return x.a < y.b && y.a < x.b; }

// Ties go to the window that ends (then starts) first.
bool Better(const Window& y, const Window& x) {
  if (y.quality != x.quality) return y.quality > x.quality;
  return y.b != x.b ? y.b < x.b : y.a < x.a;
}

double Distance(const uint8_t* x, const uint8_t* y) {
  uint32_t sum = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) sum += x[i] > y[i] ? x[i] - y[i] : y[i] - x[i];
  return static_cast<double>(sum) / kThumbSize;
}

double StdDev(const uint8_t* x) {
  uint64_t sum = 0, sum2 = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) sum += x[i], sum2 += uint32_t(x[i]) * x[i];
  const double mean = double(sum) / kThumbSize;
  return std::sqrt(std::max(0.0, double(sum2) / kThumbSize - mean * mean));
}

// Ranks 0..n-1, equal values ranked by position (a stable counting sort).
void Ranks(const uint8_t* x, uint16_t* out) {
  std::array<uint16_t, 257> start{};
  for (uint64_t i = 0; i < kThumbSize; ++i) ++start[x[i] + 1];
  for (uint64_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
  for (uint64_t i = 0; i < kThumbSize; ++i) out[i] = start[x[i]]++;
}

// Pearson correlation of two thumbnails' ranks: near 1 when one picture is
// the other in another brightness or contrast, even where it clips. Ranks
// are a permutation of 0..n-1, so their mean and spread are fixed.
double RankCorrelation(const uint16_t* x, const uint16_t* y) {
  uint64_t dot = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) dot += uint32_t(x[i]) * y[i];
  constexpr double kN = kThumbSize, kMean = (kN - 1) / 2;
  constexpr double kSpread = kN * (kN * kN - 1) / 12;  // sum of (rank - mean)^2
  return (double(dot) - kN * kMean * kMean) / kSpread;
}

}  // namespace

struct SceneDetector::State {
  SceneDetectorOptions options;
  uint64_t cut_lookahead = 0;  // frames past a cut candidate seen before deciding it
  uint64_t capacity = 0;       // ring size, a power of two
  std::vector<double> scores;
  std::vector<double> jumps;  // thumbnail distance to the frame before
  std::vector<uint8_t> thumbs;
  // gram[slot(i) * capacity + slot(j)] = the dot product of thumbnails i and
  // j, for every pair in the ring: a window's progress then costs a few
  // scalar operations per frame instead of a pass over its pixels.
  std::vector<uint32_t> gram;
  std::vector<uint16_t> ranks;  // each thumbnail's pixel ranks
  std::vector<double> spreads;  // each thumbnail's standard deviation
  uint64_t pushed = 0;  // frames pushed so far
  uint64_t next = 1;    // the next frame to decide on as a cut and window end
  bool have_cut = false;
  uint64_t last_cut = 0;
  std::vector<Window> windows;  // candidates, by end frame
  std::vector<Window> held;     // kept, waiting for a fade-in to join or for the cuts
  std::vector<uint64_t> cuts;   // cuts not yet emitted
  std::vector<double> progress;  // per inner frame of the window being tested
  bool have_boundary = false;
  uint64_t last_start = 0;
  bool finished = false;
  std::vector<SceneBoundary> decided;

  uint64_t Slot(uint64_t frame) const { return frame & (capacity - 1); }
  double Gram(uint64_t i, uint64_t j) const { return gram[Slot(i) * capacity + Slot(j)]; }
  void AddToGram(uint64_t frame);
  const uint8_t* Thumb(uint64_t frame) const { return thumbs.data() + Slot(frame) * kThumbSize; }

  bool IsFlash(uint64_t n, uint64_t end, double jump) const;
  bool IsCut(uint64_t n, uint64_t end) const;
  bool TestWindow(uint64_t a, uint64_t b, Window& out);
  void EvaluateWindows(uint64_t e);
  void ResolveWindows(uint64_t horizon, bool all);
  void Hold(const Window& w);
  void Emit(const SceneBoundary& b);
  void EmitBefore(uint64_t floor);
  void Step(uint64_t n, uint64_t end, bool finishing);
  uint64_t GradualFloor() const;
};

bool SceneDetector::State::IsFlash(uint64_t n, uint64_t end, double jump) const {
  const double limit = options.flash_match * jump;
  for (uint64_t k = 1; k <= options.flash_frames; ++k) {
    if (n + k < end && Distance(Thumb(n - 1), Thumb(n + k)) <= limit) return true;
    if (n >= k + 1 && Distance(Thumb(n), Thumb(n - 1 - k)) <= limit) return true;
  }
  return false;
}

// Frames [0, end) have arrived; n >= 1.
bool SceneDetector::State::IsCut(uint64_t n, uint64_t end) const {
  const double s = scores[Slot(n)], j = jumps[Slot(n)];
  if (s < options.cut_floor || j < options.cut_thumb_floor) return false;
  double score_sum = 0.0, jump_sum = 0.0;
  uint64_t count = 0;
  for (uint64_t k = 1; k <= options.cut_context; ++k) {
    if (n >= k + 1) score_sum += scores[Slot(n - k)], jump_sum += jumps[Slot(n - k)], ++count;
    if (n + k < end) score_sum += scores[Slot(n + k)], jump_sum += jumps[Slot(n + k)], ++count;
  }
  const double ratio = s >= options.cut_strong ? options.cut_strong_ratio : options.cut_ratio;
  if (count > 0 && (s < ratio * score_sum / count || j < ratio * jump_sum / count)) return false;
  return !IsFlash(n, end, j);
}

// Tests frames a..b as one gradual transition: the inner frames are fitted
// as blends of the ends (Ta + f (Tb - Ta), one f a frame), which gives the
// progress f, and their residuals against that blend and against the nearer
// end's pixels tell a dissolve or fade from a wipe, and either from motion.
bool SceneDetector::State::TestWindow(uint64_t a, uint64_t b, Window& out) {
  const uint8_t* ta = Thumb(a);
  const uint8_t* tb = Thumb(b);
  const double change = Distance(ta, tb);
  if (change < options.gradual_min_change) return false;
  // (Ti - Ta) . (Tb - Ta) and |Tb - Ta|^2 from the dot products.
  const double aa = Gram(a, a), ab = Gram(a, b);
  const double norm = aa - 2 * ab + Gram(b, b);
  const uint64_t inner = b - a - 1;
  double previous = 0.0, max_step = 0.0, max_back = 0.0;
  uint64_t moving = 0;
  for (uint64_t k = 0; k < inner; ++k) {
    const uint64_t i = a + 1 + k;
    const double dot = Gram(i, b) - Gram(i, a) - ab + aa;
    const double f = std::clamp(dot / norm, 0.0, 1.0);
    progress[k] = f;
    max_step = std::max(max_step, f - previous);
    max_back = std::max(max_back, previous - f);
    previous = f;
    if (f >= 0.1 && f <= 0.9) ++moving;
    if (max_step > options.gradual_max_step || max_back > options.gradual_max_backstep) return false;
  }
  max_step = std::max(max_step, 1.0 - previous);
  if (max_step > options.gradual_max_step || max_back > options.gradual_max_backstep) return false;
  if (moving < options.gradual_min_frames || moving < options.gradual_tightness * inner) return false;
  const bool flat_a = spreads[Slot(a)] < options.flat_level;
  const bool flat_b = spreads[Slot(b)] < options.flat_level;
  if (!flat_a && !flat_b &&
      RankCorrelation(&ranks[Slot(a) * kThumbSize], &ranks[Slot(b) * kThumbSize]) >
          options.gradual_max_correlation) {
    return false;
  }
  // Integer sums, so that they vectorise: f in steps of 1/kFixed.
  constexpr int32_t kFixed = 1024;
  int64_t blend_sum = 0, mix_sum = 0;
  for (uint64_t k = 0; k < inner; ++k) {
    if (progress[k] < 0.1 || progress[k] > 0.9) continue;
    const int32_t f = static_cast<int32_t>(std::lround(progress[k] * kFixed));
    const uint8_t* t = Thumb(a + 1 + k);
    int32_t frame_blend = 0, frame_mix = 0;
    for (uint64_t i = 0; i < kThumbSize; ++i) {
      const int32_t x = t[i], xa = ta[i], xb = tb[i];
      frame_blend += std::abs(kFixed * (x - xa) - f * (xb - xa));
    }
    for (uint64_t i = 0; i < kThumbSize; ++i) {
      const int32_t x = t[i], xa = ta[i], xb = tb[i];
      frame_mix += std::min(std::abs(x - xa), std::abs(x - xb));
    }
    blend_sum += frame_blend, mix_sum += frame_mix;
  }
  const double blend = double(blend_sum) / kFixed / (double(moving) * kThumbSize * change);
  const double mix = double(mix_sum) / (double(moving) * kThumbSize * change);
  double residual;
  if (blend <= options.gradual_max_blend) {
    out.shape = Shape::kDissolve, residual = blend;
  } else if (mix <= options.gradual_max_mix) {
    out.shape = Shape::kWipe, residual = mix;
  } else {
    return false;
  }
  if (flat_a || flat_b) out.shape = flat_a ? Shape::kFadeIn : Shape::kFadeOut;
  uint64_t middle = 0, first = inner, last = 0;
  for (uint64_t k = 0; k < inner; ++k) {
    if (std::abs(progress[k] - 0.5) < std::abs(progress[middle] - 0.5)) middle = k;
    if (progress[k] > 0.05) first = std::min(first, k);
    if (progress[k] < 0.95) last = k;
  }
  out.quality = change * (1.0 - residual);
  out.a = a, out.b = b, out.middle = a + 1 + middle, out.decided = false;
  out.first = a + 1 + std::min(first, middle), out.last = a + 1 + std::max(last, middle);
  return true;
}

void SceneDetector::State::EvaluateWindows(uint64_t e) {
  for (const uint64_t length : kWindowLengths) {
    if (e < length) break;
    const uint64_t a = e - length;
    if (have_cut && last_cut > a) break;  // a cut inside; longer windows hold it too
    Window w;
    if (TestWindow(a, e, w)) windows.push_back(w);
  }
}

// A window is kept when no window overlapping it is better. Every window
// that can overlap [a, b] ends before b + kMaxTransition, so once windows
// ending at `horizon` have been tested, those with b + kMaxTransition - 1 <=
// horizon are decided. A window is dropped from the list once nothing
// undecided can overlap it.
void SceneDetector::State::ResolveWindows(uint64_t horizon, bool all) {
  for (Window& x : windows) {
    if (x.decided || (!all && x.b + kMaxTransition - 1 > horizon)) continue;
    x.decided = true;
    bool best = true;
    for (const Window& y : windows) {
      if (&y != &x && Overlap(x, y) && Better(y, x)) {
        best = false;
        break;
      }
    }
    if (best) Hold(x);
  }
  std::erase_if(windows, [&](const Window& w) {
    return w.decided && (all || w.b + 2 * kMaxTransition <= horizon);
  });
}

// Kept windows never overlap and arrive in frame order, so a fade-in can
// only join the last one held.
void SceneDetector::State::Hold(const Window& w) {
  if (w.shape == Shape::kFadeIn && !held.empty() && held.back().shape == Shape::kFadeOut &&
      w.a <= held.back().b - 1 + options.fade_gap) {
    Window& out = held.back();
    out.b = w.b;
    out.last = w.last;
    out.middle = (out.first + out.last) / 2;
    out.shape = Shape::kFadeIn;  // joined: now a whole fade
    return;
  }
  held.push_back(w);
}

void SceneDetector::State::Emit(const SceneBoundary& b) {
  const uint64_t earliest = have_boundary ? last_start + options.min_scene_len : options.min_scene_len;
  if (b.start_frame < earliest) return;
  have_boundary = true;
  last_start = b.start_frame;
  decided.push_back(b);
}

// Emits, in start order, the cuts and held transitions that start below
// `floor`.
void SceneDetector::State::EmitBefore(uint64_t floor) {
  uint64_t ci = 0, hi = 0;
  while (true) {
    const bool cut_ready = ci < cuts.size() && cuts[ci] < floor;
    const bool held_ready = hi < held.size() && held[hi].middle < floor;
    if (!cut_ready && !held_ready) break;
    if (cut_ready && (!held_ready || cuts[ci] <= held[hi].middle)) {
      const uint64_t c = cuts[ci++];
      Emit({c, c, c, TransitionKind::kCut});
      continue;
    }
    const Window& w = held[hi++];
    TransitionKind kind = TransitionKind::kFade;
    if (w.shape == Shape::kDissolve) kind = TransitionKind::kDissolve;
    if (w.shape == Shape::kWipe) kind = TransitionKind::kWipe;
    Emit({w.first, w.last, w.middle, kind});
  }
  cuts.erase(cuts.begin(), cuts.begin() + ci);
  held.erase(held.begin(), held.begin() + hi);
}

// No transition still to be kept can start below this frame.
uint64_t SceneDetector::State::GradualFloor() const {
  // Undecided windows end after next - kMaxTransition, so start after
  // next - 2 kMaxTransition; a held fade-out may still be joined.
  uint64_t floor = next > 2 * kMaxTransition ? next - 2 * kMaxTransition : 0;
  if (!held.empty() && held.back().shape == Shape::kFadeOut &&
      next < held.back().b - 1 + options.fade_gap + 2 * kMaxTransition) {
    floor = std::min(floor, held.back().first);
  }
  return floor;
}

void SceneDetector::State::AddToGram(uint64_t frame) {
  const uint8_t* t = Thumb(frame);
  const uint64_t oldest = frame + 1 > capacity ? frame + 1 - capacity : 0;
  for (uint64_t other = oldest; other <= frame; ++other) {
    const uint8_t* u = Thumb(other);
    uint32_t dot = 0;
    for (uint64_t i = 0; i < kThumbSize; ++i) dot += uint32_t(t[i]) * u[i];
    gram[Slot(frame) * capacity + Slot(other)] = dot;
    gram[Slot(other) * capacity + Slot(frame)] = dot;
  }
}

void SceneDetector::State::Step(uint64_t n, uint64_t end, bool finishing) {
  if (IsCut(n, end)) {
    cuts.push_back(n);
    have_cut = true;
    last_cut = n;
  }
  EvaluateWindows(n);
  ResolveWindows(n, finishing);
  next = n + 1;
  EmitBefore(finishing ? UINT64_MAX : GradualFloor());
}

uint64_t SceneDetector::Lookahead(const SceneDetectorOptions& options) {
  const uint64_t cut_lookahead = std::max(options.cut_context, options.flash_frames);
  // A cut waits for the windows around it; a fade-out waits for its fade-in.
  return cut_lookahead + 3 * kMaxTransition + options.fade_gap;
}

SceneDetector::SceneDetector(const SceneDetectorOptions& options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.options = options;
  s.cut_lookahead = std::max(options.cut_context, options.flash_frames);
  s.capacity = std::bit_ceil(kMaxTransition + 2 * s.cut_lookahead + options.flash_frames + 4);
  s.scores.assign(s.capacity, 0.0);
  s.jumps.assign(s.capacity, 0.0);
  s.thumbs.assign(s.capacity * kThumbSize, 0);
  s.gram.assign(s.capacity * s.capacity, 0);
  s.ranks.assign(s.capacity * kThumbSize, 0);
  s.spreads.assign(s.capacity, 0.0);
  s.progress.assign(kMaxTransition, 0.0);
  s.windows.reserve(4 * kWindowLengths.size() * kMaxTransition);
  s.held.reserve(16);
  s.cuts.reserve(16);
  s.decided.reserve(16);
}

SceneDetector::~SceneDetector() = default;

void SceneDetector::Push(uint64_t frame, double score, std::span<const uint8_t> thumb) {
  State& s = *state_;
  if (frame != s.pushed || thumb.size() < kThumbSize) {
    throw Panic("SceneDetector::Push: frames out of order or thumbnail too small");
  }
  const uint64_t slot = s.Slot(frame);
  std::memcpy(s.thumbs.data() + slot * kThumbSize, thumb.data(), kThumbSize);
  s.scores[slot] = frame == 0 || !(score >= 0.0) ? 0.0 : std::min(score, 255.0);
  s.jumps[slot] = frame == 0 ? 0.0 : Distance(s.Thumb(frame - 1), s.Thumb(frame));
  s.AddToGram(frame);
  s.spreads[slot] = StdDev(s.Thumb(frame));
  Ranks(s.Thumb(frame), &s.ranks[slot * kThumbSize]);
  ++s.pushed;
  if (s.pushed > s.cut_lookahead + 1) s.Step(s.pushed - 1 - s.cut_lookahead, s.pushed, false);
}

std::vector<SceneBoundary> SceneDetector::TakeDecided() {
  // Called after every frame: nothing is allocated unless there is news.
  std::vector<SceneBoundary> out;
  if (state_->decided.empty()) return out;
  out.swap(state_->decided);
  state_->decided.reserve(16);
  return out;
}

uint64_t SceneDetector::FinalBefore() const {
  const State& s = *state_;
  if (s.finished) return s.pushed;
  uint64_t floor = std::min(s.next, s.GradualFloor());
  if (!s.cuts.empty()) floor = std::min(floor, s.cuts.front());
  if (!s.held.empty()) floor = std::min(floor, s.held.front().first);
  for (const Window& w : s.windows) floor = std::min(floor, w.a + 1);
  return floor;
}

void SceneDetector::Finish() {
  State& s = *state_;
  for (uint64_t n = s.next; n < s.pushed; ++n) s.Step(n, s.pushed, n + 1 == s.pushed);
  s.ResolveWindows(UINT64_MAX, true);
  s.EmitBefore(UINT64_MAX);
  s.next = s.pushed;
  s.finished = true;
}

}  // namespace velmar::video
