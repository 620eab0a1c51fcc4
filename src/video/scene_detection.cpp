#include "video/scene_detection.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

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
  // Column sums over a band of rows, a chunk of columns at a time: the
  // inner loop is a plain add of a byte row into 16-bit sums, which
  // vectorises well. 257 rows of 255 still fit 16 bits.
  constexpr uint64_t kChunk = 2048, kRowsPerSum = 257;
  std::array<uint16_t, kChunk> column_sums;
  std::array<uint64_t, kThumbWidth> cell_sums;
  for (uint64_t ty = 0; ty < kThumbHeight; ++ty) {
    // A picture smaller than the thumbnail leaves cells without a pixel of
    // their own; they take the one under their centre.
    uint64_t y0 = rows[ty], y1 = rows[ty + 1];
    if (y1 <= y0) y0 = std::min((2 * ty + 1) * height / (2 * kThumbHeight), height - 1), y1 = y0 + 1;
    cell_sums.fill(0);
    for (uint64_t x_start = 0; x_start < width; x_start += kChunk) {
      const uint64_t n = std::min(kChunk, width - x_start);
      for (uint64_t y_start = y0; y_start < y1; y_start += kRowsPerSum) {
        std::fill_n(column_sums.begin(), n, uint16_t{0});
        for (uint64_t y = y_start; y < std::min(y1, y_start + kRowsPerSum); ++y) {
          const uint8_t* row = gray.data() + y * width + x_start;
          for (uint64_t x = 0; x < n; ++x) column_sums[x] = uint16_t(column_sums[x] + row[x]);
        }
        for (uint64_t tx = 0; tx < kThumbWidth; ++tx) {
          const uint64_t lo = std::max(cols[tx], x_start), hi = std::min(cols[tx + 1], x_start + n);
          for (uint64_t x = lo; x < hi; ++x) cell_sums[tx] += column_sums[x - x_start];
        }
      }
    }
    for (uint64_t tx = 0; tx < kThumbWidth; ++tx) {
      uint64_t sum = cell_sums[tx], count = (y1 - y0) * (cols[tx + 1] - cols[tx]);
      if (count == 0) {  // as above, for columns
        const uint64_t xc = std::min((2 * tx + 1) * width / (2 * kThumbWidth), width - 1);
        sum = 0;
        for (uint64_t y = y0; y < y1; ++y) sum += gray[y * width + xc];
        count = y1 - y0;
      }
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
  double strength = 0.0;
};

// A boundary on its way out, with whether it ends on (starts from) a plain
// picture: such a pair close together is one fade.
struct Candidate {
  SceneBoundary boundary;
  bool to_plain = false, from_plain = false;
  // A cut's frame before it, and its own first frame, are one flat colour:
  // a cut between plain cards, which stays a cut.
  bool flat_before = false, flat_after = false;
};

// The longest fade through a plain picture: a fade or cut into it, the
// hold, and a fade or cut out of it.
uint64_t MaxFade(const SceneDetectorOptions& options) { return 2 * kMaxTransition + options.fade_gap; }

// Frames within which a cut's picture turns plain for the cut to count as
// going into it (the fast part of a dip to black).
constexpr uint64_t kPlainFrames = 3;

// A cut into a plain picture that the frames before it dim towards, each
// at least kDimStep gray levels nearer than the one before for at least
// kMinDimFrames frames, is the end of a fade-out that never quite reached
// black (a fade filter's last step is often a jump): the boundary spans
// the dimming too.
constexpr double kDimStep = 1.0;
constexpr uint64_t kMinDimFrames = 3;

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

// A flat picture counts as the black (or white) of a fade only when it is
// dark (or bright): a cut to a flat coloured card and on to the next shot is
// two cuts, not one fade.
constexpr double kBlackLevel = 40.0;
constexpr double kWhiteLevel = 215.0;

bool IsBlackOrWhite(const uint8_t* x) {
  uint64_t sum = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) sum += x[i];
  const double mean = double(sum) / kThumbSize;
  return mean <= kBlackLevel || mean >= kWhiteLevel;
}

double StdDev(const uint8_t* x) {
  uint64_t sum = 0, sum2 = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) sum += x[i], sum2 += uint32_t(x[i]) * x[i];
  const double mean = double(sum) / kThumbSize;
  return std::sqrt(std::max(0.0, double(sum2) / kThumbSize - mean * mean));
}

// Twice the ranks 0..n-1 of the pixels, equal values sharing the mean of
// their ranks (doubled, so that the means stay integers); returns the sum
// of squares of the doubled ranks about their mean, n - 1.
uint64_t DoubledRanks(const uint8_t* x, uint16_t* out) {
  std::array<uint16_t, 256> count{};
  std::array<uint16_t, 256> doubled{};
  for (uint64_t i = 0; i < kThumbSize; ++i) ++count[x[i]];
  for (uint32_t v = 0, start = 0; v < 256; start += count[v], ++v) doubled[v] = uint16_t(2 * start + count[v] - 1);
  uint64_t squares = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) {
    out[i] = doubled[x[i]];
    squares += uint64_t(out[i]) * out[i];
  }
  return squares - kThumbSize * (kThumbSize - 1) * (kThumbSize - 1);
}

// Spearman's correlation of two thumbnails: near 1 when one picture is the
// other in another brightness or contrast, even where it clips to black.
double RankCorrelation(const uint16_t* x, uint64_t x_spread, const uint16_t* y, uint64_t y_spread) {
  if (x_spread == 0 || y_spread == 0) return 1.0;
  uint64_t dot = 0;
  for (uint64_t i = 0; i < kThumbSize; ++i) dot += uint32_t(x[i]) * y[i];
  const double centred = double(dot) - double(kThumbSize * (kThumbSize - 1) * (kThumbSize - 1));
  return centred / std::sqrt(double(x_spread) * double(y_spread));
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
  std::vector<uint16_t> ranks;  // each thumbnail's doubled pixel ranks
  std::vector<uint64_t> rank_spreads;
  std::vector<double> spreads;  // each thumbnail's standard deviation
  std::vector<uint8_t> blanks;  // each thumbnail plain black or plain white
  uint64_t pushed = 0;  // frames pushed so far
  uint64_t next = 1;    // the next frame to decide on as a cut and window end
  bool have_cut = false;
  uint64_t last_cut = 0;
  std::vector<Window> windows;  // candidates, by end frame
  std::vector<Window> held;       // kept, waiting for the cuts before them
  std::vector<Candidate> cuts;    // cuts not yet emitted
  std::optional<Candidate> plain;  // into a plain picture: waits for the way out
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
  double CutStrength(uint64_t n, uint64_t end) const;
  uint64_t DimmingStart(uint64_t n, uint64_t end) const;
  bool TestWindow(uint64_t a, uint64_t b, Window& out);
  void EvaluateWindows(uint64_t e);
  void ResolveWindows(uint64_t horizon, bool all);
  void Offer(const Candidate& c);
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

// Frames [0, end) have arrived; n >= 1. Returns 0 when frame n is no cut at
// the scaled bars, else its strength against the unscaled ones.
double SceneDetector::State::CutStrength(uint64_t n, uint64_t end) const {
  const double s = scores[Slot(n)], j = jumps[Slot(n)];
  const double scale = options.bar_scale;
  if (s < options.cut_floor * scale || j < options.cut_thumb_floor * scale) return 0.0;
  double score_sum = 0.0, jump_sum = 0.0;
  uint64_t count = 0;
  for (uint64_t k = 1; k <= options.cut_context; ++k) {
    if (n >= k + 1) score_sum += scores[Slot(n - k)], jump_sum += jumps[Slot(n - k)], ++count;
    if (n + k < end) score_sum += scores[Slot(n + k)], jump_sum += jumps[Slot(n + k)], ++count;
  }
  const double base_ratio = s >= options.cut_strong ? options.cut_strong_ratio : options.cut_ratio;
  const double ratio = 1.0 + (base_ratio - 1.0) * scale;
  if (count > 0 && (s < ratio * score_sum / count || j < ratio * jump_sum / count)) return 0.0;
  if (IsFlash(n, end, j)) return 0.0;
  double strength = std::min(s / options.cut_floor, j / options.cut_thumb_floor);
  if (count > 0) {
    // A contrast c clears the ratio scaled by x where c >= 1 + (r - 1) x.
    for (const double contrast : {s * count / score_sum, j * count / jump_sum}) {
      strength = std::min(strength, (contrast - 1.0) / (base_ratio - 1.0));
    }
  }
  return std::max(strength, 1e-9);  // a cut found has some strength
}

// The first frame of the fade-out that cut n (into a plain picture) ends,
// or n when the frames before it do not dim towards that picture. The
// look back stays within kMaxTransition frames, after the previous cut.
uint64_t SceneDetector::State::DimmingStart(uint64_t n, uint64_t end) const {
  uint64_t target = n;
  while (target + 1 < end && target < n + kPlainFrames && blanks[Slot(target)] == 0) ++target;
  const uint8_t* plain_picture = Thumb(target);
  const uint64_t floor = std::max<uint64_t>(have_cut ? last_cut : 0, n > kMaxTransition ? n - kMaxTransition : 0);
  uint64_t first = n;
  double nearer = Distance(Thumb(n), plain_picture);
  while (first > floor + 1) {
    const double farther = Distance(Thumb(first - 1), plain_picture);
    if (farther < nearer + kDimStep) break;
    nearer = farther;
    --first;
  }
  // `first` is the last frame before the dimming; the cut's own jump is
  // the step from n - 1 to n.
  return n - first > kMinDimFrames ? first + 1 : n;
}

// Tests frames a..b as one gradual transition: the inner frames are fitted
// as blends of the ends (Ta + f (Tb - Ta), one f a frame), which gives the
// progress f, and their residuals against that blend and against the nearer
// end's pixels tell a dissolve or fade from a wipe, and either from motion.
bool SceneDetector::State::TestWindow(uint64_t a, uint64_t b, Window& out) {
  const uint8_t* ta = Thumb(a);
  const uint8_t* tb = Thumb(b);
  const double change = Distance(ta, tb);
  if (change < options.gradual_min_change * options.bar_scale) return false;
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
      RankCorrelation(&ranks[Slot(a) * kThumbSize], rank_spreads[Slot(a)], &ranks[Slot(b) * kThumbSize],
                      rank_spreads[Slot(b)]) > options.gradual_max_correlation) {
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
  out.strength = change / options.gradual_min_change;
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
    if (best) held.push_back(x);  // kept windows never overlap: in frame order
  }
  std::erase_if(windows, [&](const Window& w) {
    return w.decided && (all || w.b + 2 * kMaxTransition <= horizon);
  });
}

// Boundaries arrive in start order. One into a plain (black or white)
// picture waits: if one out of a plain picture follows within fade_gap
// frames, the two are one fade through it, cuts included (a few seconds of
// black between two cuts is a pause in the edit, with nothing to show of
// its own). A longer hold stays a scene of its own, and so do cuts from or
// to a plain card of another colour (black, white, grey cards in a row).
void SceneDetector::State::Offer(const Candidate& c) {
  const bool cards = plain && plain->boundary.kind == TransitionKind::kCut &&
                     c.boundary.kind == TransitionKind::kCut && (plain->flat_before || c.flat_after);
  if (plain && !cards && c.from_plain && c.boundary.first_frame <= plain->boundary.last_frame + options.fade_gap &&
      c.boundary.last_frame <= plain->boundary.first_frame + MaxFade(options)) {
    const uint64_t first = plain->boundary.first_frame, last = c.boundary.last_frame;
    const double strength = std::max(plain->boundary.strength, c.boundary.strength);
    plain = Candidate{{first, last, (first + last) / 2, TransitionKind::kFade, strength},
                      c.to_plain, plain->from_plain};
    if (!plain->to_plain) Emit(plain->boundary), plain.reset();
    return;
  }
  if (plain) Emit(plain->boundary), plain.reset();
  if (c.to_plain) {
    plain = c;
  } else {
    Emit(c.boundary);
  }
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
    const bool cut_ready = ci < cuts.size() && cuts[ci].boundary.start_frame < floor;
    const bool held_ready = hi < held.size() && held[hi].middle < floor;
    if (!cut_ready && !held_ready) break;
    if (cut_ready && (!held_ready || cuts[ci].boundary.start_frame <= held[hi].middle)) {
      Offer(cuts[ci++]);
      continue;
    }
    const Window& w = held[hi++];
    TransitionKind kind = TransitionKind::kFade;
    if (w.shape == Shape::kDissolve) kind = TransitionKind::kDissolve;
    if (w.shape == Shape::kWipe) kind = TransitionKind::kWipe;
    Offer({{w.first, w.last, w.middle, kind, w.strength}, w.shape == Shape::kFadeOut,
           w.shape == Shape::kFadeIn});
  }
  cuts.erase(cuts.begin(), cuts.begin() + ci);
  held.erase(held.begin(), held.begin() + hi);
  // Whatever comes later starts at `floor` or after and spans at most
  // kMaxTransition frames before its start.
  if (plain && (floor == UINT64_MAX ||
                floor > plain->boundary.last_frame + options.fade_gap + kMaxTransition)) {
    Emit(plain->boundary);
    plain.reset();
  }
}

// No transition still to be kept can start below this frame.
uint64_t SceneDetector::State::GradualFloor() const {
  // Undecided windows end after next - kMaxTransition, so start after
  // next - 2 kMaxTransition.
  return next > 2 * kMaxTransition ? next - 2 * kMaxTransition : 0;
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
  if (const double strength = CutStrength(n, end); strength > 0) {
    bool to_plain = false, from_plain = false;
    for (uint64_t k = 0; k <= kPlainFrames; ++k) {
      to_plain |= n + k < end && blanks[Slot(n + k)] != 0;
      from_plain |= n >= k + 1 && blanks[Slot(n - 1 - k)] != 0;
    }
    const uint64_t first = to_plain ? DimmingStart(n, end) : n;
    const TransitionKind kind = first < n ? TransitionKind::kFade : TransitionKind::kCut;
    const auto flat = [&](uint64_t f) { return spreads[Slot(f)] < options.flat_level; };
    cuts.push_back({{first, n, n, kind, strength}, to_plain, from_plain, flat(n - 1), flat(n)});
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
  // A cut waits for the windows around it; a boundary into a plain picture
  // waits for the way out, and a fade through one spans at most MaxFade.
  return cut_lookahead + 3 * kMaxTransition + options.fade_gap + MaxFade(options) + 2;
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
  s.rank_spreads.assign(s.capacity, 0);
  s.spreads.assign(s.capacity, 0.0);
  s.blanks.assign(s.capacity, 0);
  s.progress.assign(kMaxTransition, 0.0);
  s.windows.reserve(4 * kWindowLengths.size() * kMaxTransition);
  // Everything pending lies within the lookahead: at most one cut a frame,
  // and kept windows never overlap.
  s.held.reserve(Lookahead(options) / 2 + 1);
  s.cuts.reserve(Lookahead(options) + 1);
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
  s.blanks[slot] = s.spreads[slot] < s.options.flat_level && IsBlackOrWhite(s.Thumb(frame));
  s.rank_spreads[slot] = DoubledRanks(s.Thumb(frame), &s.ranks[slot * kThumbSize]);
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
  if (!s.cuts.empty()) floor = std::min(floor, s.cuts.front().boundary.first_frame);
  if (s.plain) floor = std::min(floor, s.plain->boundary.first_frame);
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

uint64_t FadeGapFrames(double fps) {
  if (!(fps > 0)) return SceneDetectorOptions{}.fade_gap;
  return static_cast<uint64_t>(std::max(1.0, std::round(std::min(fps, 1e6) * kFadeHoldSeconds)));
}

bool IsPlainThumbnail(std::span<const uint8_t> thumb, double flat_level) {
  if (thumb.size() < kThumbSize) throw Panic("IsPlainThumbnail: thumbnail too small");
  return StdDev(thumb.data()) < flat_level;
}

double SensitivityBar(double sensitivity) { return std::pow(4.0, 0.5 - sensitivity); }

namespace {

SceneDetectorOptions AtLowestBars(SceneDetectorOptions options) {
  options.bar_scale = SensitivityBar(1.0);
  options.min_scene_len = 1;  // the spacing of the weaker ones is decided by strength
  return options;
}

}  // namespace

TunedSceneDetector::TunedSceneDetector(const SceneDetectorOptions& options, double sensitivity)
    : min_len_(options.min_scene_len), bar_(SensitivityBar(sensitivity)), base_(options) {
  if (sensitivity > 0.5) extra_ = std::make_unique<SceneDetector>(AtLowestBars(options));
}

TunedSceneDetector::~TunedSceneDetector() = default;

void TunedSceneDetector::Push(uint64_t frame, double score, std::span<const uint8_t> thumb) {
  base_.Push(frame, score, thumb);
  if (extra_) {
    extra_->Push(frame, score, thumb);
    Resolve(std::min(base_.FinalBefore(), extra_->FinalBefore()));
  }
}

std::vector<SceneBoundary> TunedSceneDetector::TakeDecided() {
  if (!extra_) {
    std::vector<SceneBoundary> out = base_.TakeDecided();
    if (bar_ > 1.0) std::erase_if(out, [&](const SceneBoundary& b) { return b.strength < bar_; });
    return out;
  }
  std::vector<SceneBoundary> out;
  out.swap(decided_);
  return out;
}

uint64_t TunedSceneDetector::FinalBefore() const {
  if (!extra_) return base_.FinalBefore();
  uint64_t floor = std::min(base_.FinalBefore(), extra_->FinalBefore());
  for (const Pending& p : pending_) floor = std::min(floor, p.boundary.first_frame);
  return floor;
}

void TunedSceneDetector::Finish() {
  base_.Finish();
  if (extra_) {
    extra_->Finish();
    Resolve(UINT64_MAX);
  }
}

void TunedSceneDetector::Resolve(uint64_t horizon) {
  auto add = [&](std::vector<SceneBoundary> found, bool base) {
    for (const SceneBoundary& b : found) {
      if (base || (b.strength >= bar_ && b.start_frame >= min_len_)) pending_.push_back({b, base});
    }
  };
  add(base_.TakeDecided(), true);
  add(extra_->TakeDecided(), false);
  std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
    return a.boundary.start_frame < b.boundary.start_frame;
  });
  // A run: boundaries each within min_scene_len of the one before. Once
  // nothing to come can join it, its choice is final.
  while (!pending_.empty()) {
    size_t count = 1;
    while (count < pending_.size() &&
           pending_[count].boundary.start_frame < pending_[count - 1].boundary.start_frame + min_len_) {
      ++count;
    }
    const uint64_t last = pending_[count - 1].boundary.start_frame;
    if (horizon != UINT64_MAX && last + min_len_ > horizon) return;
    EmitRun(count);
  }
}

void TunedSceneDetector::EmitRun(size_t count) {
  std::vector<Pending> run(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(count));
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(count));
  // The default boundaries first, then the weaker ones strongest first.
  std::stable_sort(run.begin(), run.end(), [](const Pending& a, const Pending& b) {
    if (a.base != b.base) return a.base;
    return !a.base && a.boundary.strength > b.boundary.strength;
  });
  std::vector<SceneBoundary> kept;
  for (const Pending& p : run) {
    const bool clear = std::all_of(kept.begin(), kept.end(), [&](const SceneBoundary& k) {
      const uint64_t a = k.start_frame, b = p.boundary.start_frame;
      return (a > b ? a - b : b - a) >= min_len_;
    });
    if (p.base || clear) kept.push_back(p.boundary);
  }
  std::sort(kept.begin(), kept.end(), [](const SceneBoundary& a, const SceneBoundary& b) {
    return a.start_frame < b.start_frame;
  });
  decided_.insert(decided_.end(), kept.begin(), kept.end());
}

}  // namespace velmar::video
