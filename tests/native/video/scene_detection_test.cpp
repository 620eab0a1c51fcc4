#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "common/panic.hpp"
#include "video/scene_detection.hpp"

namespace velmar::video {
namespace {

using Thumb = std::array<uint8_t, kThumbSize>;

// A textured picture: values spread over [lo, hi], different for each seed.
Thumb Picture(uint32_t seed, int lo = 20, int hi = 230) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(lo, hi);
  Thumb t;
  for (auto& v : t) v = static_cast<uint8_t>(value(rng));
  return t;
}

// `frames` frames of one shot: the picture with a little noise on each frame,
// as a camera's sensor gives it.
void Shot(std::vector<Thumb>& out, const Thumb& picture, int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-2, 2);
  for (int n = 0; n < frames; ++n) {
    Thumb t;
    for (uint64_t i = 0; i < kThumbSize; ++i) t[i] = static_cast<uint8_t>(std::clamp(picture[i] + noise(rng), 0, 255));
    out.push_back(t);
  }
}

// `frames` blends moving from `from` to `to`, both ends excluded.
void Blend(std::vector<Thumb>& out, const Thumb& from, const Thumb& to, int frames) {
  for (int n = 1; n <= frames; ++n) {
    const double f = static_cast<double>(n) / (frames + 1);
    Thumb t;
    for (uint64_t i = 0; i < kThumbSize; ++i) t[i] = static_cast<uint8_t>(from[i] + f * (to[i] - from[i]) + 0.5);
    out.push_back(t);
  }
}

double MeanAbsDiff(const Thumb& a, const Thumb& b) {
  double sum = 0.0;
  for (uint64_t i = 0; i < kThumbSize; ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum / kThumbSize;
}

// Runs the detector over thumbnails standing in for whole frames (the score
// is their mean absolute difference), checking on the way that nothing is
// decided about frames already declared final.
std::vector<SceneBoundary> Detect(const std::vector<Thumb>& frames, SceneDetectorOptions options = {}) {
  SceneDetector detector(options);
  std::vector<SceneBoundary> found;
  uint64_t final_before = 0;
  for (uint64_t n = 0; n < frames.size(); ++n) {
    detector.Push(n, n == 0 ? 0.0 : MeanAbsDiff(frames[n - 1], frames[n]), frames[n]);
    for (const SceneBoundary& b : detector.TakeDecided()) {
      EXPECT_GE(b.first_frame, final_before) << "boundary at " << b.start_frame << " came late";
      EXPECT_LE(b.first_frame, b.start_frame);
      EXPECT_LE(b.start_frame, b.last_frame);
      found.push_back(b);
    }
    EXPECT_GE(detector.FinalBefore(), final_before);
    final_before = detector.FinalBefore();
    EXPECT_LE(final_before, n + 1);
    EXPECT_GE(final_before + SceneDetector::Lookahead(options), n + 1) << "decisions lag without bound";
  }
  detector.Finish();
  for (const SceneBoundary& b : detector.TakeDecided()) found.push_back(b);
  EXPECT_EQ(detector.FinalBefore(), frames.size());
  return found;
}

struct CutCase {
  const char* name;
  int lo, hi;  // the pictures' value range
};

class HardCut : public ::testing::TestWithParam<CutCase> {};

// A bright cut and a dim, low-contrast one (its jump is a few gray levels,
// far under a fixed threshold, but far above the frames around it).
TEST_P(HardCut, IsOneCutAtTheNewShotsFirstFrame) {
  std::vector<Thumb> frames;
  Shot(frames, Picture(1, GetParam().lo, GetParam().hi), 40, 1);
  Shot(frames, Picture(2, GetParam().lo, GetParam().hi), 40, 2);
  const auto found = Detect(frames);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, TransitionKind::kCut);
  EXPECT_EQ(found[0].first_frame, 40u);
  EXPECT_EQ(found[0].last_frame, 40u);
  EXPECT_EQ(found[0].start_frame, 40u);
}

INSTANTIATE_TEST_SUITE_P(Scenes, HardCut,
                         ::testing::Values(CutCase{"bright", 20, 230}, CutCase{"dark", 8, 40}),
                         [](const auto& info) { return std::string(info.param.name); });

struct GradualCase {
  const char* name;
  TransitionKind kind;
  int length;
  bool sudden_out = false;  // a fade whose way into black is a cut
};

class Gradual : public ::testing::TestWithParam<GradualCase> {};

// A dissolve and a fade through black (also one that cuts to black, then
// fades in) are one boundary each, inside their span, with their kind.
TEST_P(Gradual, IsOneBoundaryInsideItsSpan) {
  const Thumb a = Picture(3), b = Picture(4), black{};
  std::vector<Thumb> frames;
  Shot(frames, a, 40, 3);
  const int first = static_cast<int>(frames.size());
  if (GetParam().kind == TransitionKind::kFade) {
    if (!GetParam().sudden_out) Blend(frames, a, black, GetParam().length / 2);
    Shot(frames, black, 4, 5);
    Blend(frames, black, b, GetParam().length / 2);
  } else {
    Blend(frames, a, b, GetParam().length);
  }
  const int last = static_cast<int>(frames.size()) - 1;
  Shot(frames, b, 40, 4);
  const auto found = Detect(frames);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, GetParam().kind);
  EXPECT_GE(found[0].start_frame, uint64_t(first));
  EXPECT_LE(found[0].start_frame, uint64_t(last));
  EXPECT_GE(found[0].first_frame + 2, uint64_t(first));
  EXPECT_LE(found[0].last_frame, uint64_t(last + 2));
}

INSTANTIATE_TEST_SUITE_P(Scenes, Gradual,
                         ::testing::Values(GradualCase{"short_dissolve", TransitionKind::kDissolve, 8},
                                           GradualCase{"long_dissolve", TransitionKind::kDissolve, 36},
                                           GradualCase{"fade", TransitionKind::kFade, 24},
                                           GradualCase{"cut_to_black_fade_in", TransitionKind::kFade, 24, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct HoldCase {
  const char* name;
  bool cuts;       // cuts into and out of the black instead of fades
  int hold;        // frames of black
  size_t boundaries;
};

class Hold : public ::testing::TestWithParam<HoldCase> {};

// A hold of black up to fade_gap frames joins the ways into and out of it,
// fades or cuts, into one fade spanning all of it; a longer hold stays a
// scene of its own, between two boundaries.
TEST_P(Hold, JoinsUpToFadeGap) {
  const Thumb a = Picture(21), b = Picture(22), black{};
  const bool cuts = GetParam().cuts;
  std::vector<Thumb> frames;
  Shot(frames, a, 40, 21);
  if (!cuts) Blend(frames, a, black, 12);
  Shot(frames, black, GetParam().hold, 23);
  if (!cuts) Blend(frames, black, b, 12);
  const uint64_t last = frames.size() - 1;
  Shot(frames, b, 40, 22);
  SceneDetectorOptions options;
  options.fade_gap = 40;
  const auto found = Detect(frames, options);
  ASSERT_EQ(found.size(), GetParam().boundaries);
  if (found.size() == 1) {
    EXPECT_EQ(found[0].kind, TransitionKind::kFade);
    EXPECT_LE(found[0].first_frame, 42u);
    EXPECT_GE(found[0].last_frame + 2, cuts ? last + 1 : last);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, Hold,
                         ::testing::Values(HoldCase{"fades_short", false, 30, 1},
                                           HoldCase{"fades_long", false, 60, 2},
                                           HoldCase{"cuts_short", true, 30, 1},
                                           HoldCase{"cuts_long", true, 60, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fade-out whose last frame is still far from black, then a cut to it:
// the boundary spans the dimming, and a fade-in from the black after a
// short hold joins it.
TEST(SceneDetector, FadeOutEndingInACutSpansItsDimming) {
  const Thumb a = Picture(24), b = Picture(25), black{};
  Thumb dim;
  for (uint64_t i = 0; i < kThumbSize; ++i) dim[i] = static_cast<uint8_t>(a[i] / 5);
  std::vector<Thumb> frames;
  Shot(frames, a, 40, 24);
  Blend(frames, a, dim, 10);  // frames 40..49, then a cut to black at 50
  Shot(frames, black, 20, 26);
  Blend(frames, black, b, 12);
  Shot(frames, b, 40, 25);
  const auto found = Detect(frames);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, TransitionKind::kFade);
  EXPECT_EQ(found[0].first_frame, 40u);
}

// No boundary: a flash of a few frames, a pan over texture (a high, steady
// score), and a slow brightness change of one picture.
TEST(SceneDetector, FlashPanAndBrightnessAreNoBoundaries) {
  const Thumb a = Picture(5);
  for (int flash_frames : {1, 3}) {
    std::vector<Thumb> frames;
    Shot(frames, a, 40, 6);
    for (int k = 0; k < flash_frames; ++k) {
      Thumb t = frames.back();
      for (auto& v : t) v = static_cast<uint8_t>(std::min(255, v + 120));
      frames.push_back(t);
    }
    Shot(frames, a, 40, 7);
    EXPECT_TRUE(Detect(frames).empty()) << flash_frames << "-frame flash";
  }
  // A wide texture seen through the thumbnail's window, one column a frame.
  std::mt19937 rng(8);
  std::vector<uint8_t> wide(kThumbHeight * 200);
  for (auto& v : wide) v = static_cast<uint8_t>(rng() % 220 + 20);
  std::vector<Thumb> pan;
  for (uint64_t x = 0; x + kThumbWidth <= 200; ++x) {
    Thumb t;
    for (uint64_t y = 0; y < kThumbHeight; ++y)
      std::copy_n(wide.begin() + y * 200 + x, kThumbWidth, t.begin() + y * kThumbWidth);
    pan.push_back(t);
  }
  EXPECT_TRUE(Detect(pan).empty()) << "pan";
  // Dimming to half, and dimming until much of the picture clips to black.
  for (int clipped : {0, 1}) {
    std::vector<Thumb> dim;
    Shot(dim, a, 30, 9);
    Thumb darker;
    for (uint64_t i = 0; i < kThumbSize; ++i)
      darker[i] = static_cast<uint8_t>(clipped ? std::max(0, a[i] - 150) : a[i] / 2);
    Blend(dim, a, darker, 20);
    Shot(dim, darker, 30, 10);
    EXPECT_TRUE(Detect(dim).empty()) << "brightness, clipped " << clipped;
  }
}

// Cuts closer than min_scene_len: the later one is dropped; the first scene
// counts from frame 0.
TEST(SceneDetector, MinSceneLenBetweenBoundaries) {
  std::vector<Thumb> frames;
  Shot(frames, Picture(11), 10, 11);  // a cut at 10: too close to the start
  Shot(frames, Picture(12), 20, 12);  // a cut at 30
  Shot(frames, Picture(13), 8, 13);   // a cut at 38: 8 frames after it
  Shot(frames, Picture(14), 40, 14);
  std::vector<uint64_t> starts;
  for (const auto& b : Detect(frames)) starts.push_back(b.start_frame);
  EXPECT_EQ(starts, (std::vector<uint64_t>{30}));
  SceneDetectorOptions options;
  options.min_scene_len = 5;
  starts.clear();
  for (const auto& b : Detect(frames, options)) starts.push_back(b.start_frame);
  EXPECT_EQ(starts, (std::vector<uint64_t>{10, 30, 38}));
}

TEST(SceneDetector, ShortStreamsAndBadInput) {
  for (int length : {0, 1, 3}) {
    std::vector<Thumb> frames;
    Shot(frames, Picture(15), length, 15);
    EXPECT_TRUE(Detect(frames).empty());
  }
  SceneDetector detector{SceneDetectorOptions{}};
  const Thumb t{};
  EXPECT_THROW(detector.Push(1, 0.0, t), Panic);  // frame 0 first
  EXPECT_THROW(detector.Push(0, 0.0, std::span<const uint8_t>(t.data(), 10)), Panic);
}

struct ThumbCase {
  uint64_t width, height;
};

class Thumbnail : public ::testing::TestWithParam<ThumbCase> {};

// Each cell is the mean of its own pixels: with a left half of 0 and a right
// half of 200, rows rise from 0 to 200 and only the middle cell may mix;
// when the halves split on a cell edge the cells are exact. Pictures smaller
// than the thumbnail repeat their pixels.
TEST_P(Thumbnail, AveragesEachCell) {
  const auto [w, h] = GetParam();
  std::vector<uint8_t> gray(w * h);
  for (uint64_t y = 0; y < h; ++y)
    for (uint64_t x = 0; x < w; ++x) gray[y * w + x] = x * 2 < w ? 0 : 200;
  Thumb out;
  MakeThumbnail(gray, w, h, out);
  for (uint64_t y = 0; y < kThumbHeight; ++y) {
    const uint8_t* row = out.data() + y * kThumbWidth;
    EXPECT_EQ(row[0], 0);
    EXPECT_EQ(row[kThumbWidth - 1], w > 1 ? 200 : 0);
    EXPECT_TRUE(std::is_sorted(row, row + kThumbWidth));
    uint64_t mixed = 0;
    for (uint64_t x = 0; x < kThumbWidth; ++x) mixed += row[x] != 0 && row[x] != 200;
    EXPECT_LE(mixed, w % (2 * kThumbWidth) == 0 ? 0u : 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, Thumbnail,
                         ::testing::Values(ThumbCase{1920, 1080}, ThumbCase{640, 360}, ThumbCase{176, 144},
                                           ThumbCase{33, 19}, ThumbCase{8, 4}, ThumbCase{1, 1}));

TEST(MakeThumbnail, RejectsShortBuffers) {
  std::vector<uint8_t> gray(100);
  Thumb out;
  EXPECT_THROW(MakeThumbnail(gray, 20, 6, out), Panic);
  EXPECT_THROW(MakeThumbnail(gray, 0, 1, out), Panic);
  EXPECT_THROW(MakeThumbnail(gray, 10, 10, std::span<uint8_t>(out.data(), 5)), Panic);
}

}  // namespace
}  // namespace velmar::video
