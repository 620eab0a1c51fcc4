// Covers: src/video/selection.cpp, src/video/difference.cpp, src/common/output.cpp (progress lines).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "video/difference.hpp"
#include "video/selection.hpp"

namespace velmar::video {
namespace {

using Positions = std::vector<uint64_t>;

// 1x1 frames with the given pixel values: pair scores are the absolute
// differences of neighbours, exactly.
std::vector<VideoFrame> PixelFrames(std::initializer_list<uint8_t> values) {
  std::vector<VideoFrame> frames;
  for (uint8_t v : values) frames.push_back(VideoFrame::Make(frames.size(), 1, 1, {v}));
  return frames;
}

// Scores 5, 3, 5, 1 at positions 1 to 4.
std::vector<VideoFrame> FiveThreeFiveOne() { return PixelFrames({0, 5, 2, 7, 6}); }

struct Mode {
  bool use_simd;
  uint64_t block_size;
};

class SelectKeyframes : public ::testing::TestWithParam<Mode> {
 protected:
  std::vector<uint64_t> Select(const std::vector<VideoFrame>& frames, uint64_t k) {
    return select_keyframes(frames, k, GetParam().use_simd, GetParam().block_size, false);
  }
};

TEST_P(SelectKeyframes, PivotKeepsTies) {
  const auto frames = FiveThreeFiveOne();
  EXPECT_EQ(Select(frames, 1), (Positions{1, 3}));  // pivot 5, two kept for one asked
  EXPECT_EQ(Select(frames, 2), (Positions{1, 3}));
  EXPECT_EQ(Select(frames, 3), (Positions{1, 2, 3}));  // pivot 3
}

TEST_P(SelectKeyframes, AllWhenAskedForAtLeastEveryPair) {
  EXPECT_EQ(Select(FiveThreeFiveOne(), 4), (Positions{1, 2, 3, 4}));
  EXPECT_EQ(Select(FiveThreeFiveOne(), 10), (Positions{1, 2, 3, 4}));
  EXPECT_EQ(Select(PixelFrames({9, 9}), 1), (Positions{1}));
}

TEST_P(SelectKeyframes, NothingToSelect) {
  EXPECT_EQ(Select({}, 3), Positions{});
  EXPECT_EQ(Select(PixelFrames({1}), 3), Positions{});
  EXPECT_EQ(Select(FiveThreeFiveOne(), 0), Positions{});
}

TEST_P(SelectKeyframes, SizeChangeRanksFirst) {
  std::vector<VideoFrame> frames = PixelFrames({0, 255, 0, 255});
  frames.push_back(VideoFrame::Make(4, 2, 1, {0, 0}));
  frames.push_back(VideoFrame::Make(5, 2, 1, {255, 255}));
  EXPECT_EQ(Select(frames, 1), (Positions{4}));
}

TEST_P(SelectKeyframes, FrameNumbersAreIgnored) {
  std::vector<VideoFrame> frames;
  for (uint64_t n : {100, 101, 102}) frames.push_back(VideoFrame::Make(n, 1, 1, {uint8_t(n)}));
  EXPECT_EQ(Select(frames, 5), (Positions{1, 2}));
}

// Zero-area frames score NaN: they are kept only by the "(all)" path, never
// by the threshold walk.
TEST_P(SelectKeyframes, NanScoresNeverPassTheThreshold) {
  std::vector<VideoFrame> frames;
  for (int i = 0; i < 3; ++i) frames.push_back(VideoFrame::Make(i, 0, 4, {}));
  frames.push_back(VideoFrame::Make(3, 1, 1, {7}));
  frames.push_back(VideoFrame::Make(4, 1, 1, {9}));
  // Scores: NaN, NaN, mismatch, 2.
  EXPECT_EQ(Select(frames, 4), (Positions{1, 2, 3, 4}));
  EXPECT_EQ(Select(frames, 1), (Positions{3}));
  EXPECT_EQ(Select(frames, 2), (Positions{3, 4}));
  EXPECT_EQ(Select(frames, 3), Positions{});  // the third-highest score is NaN
}

TEST_P(SelectKeyframes, ShortBufferPanics) {
  std::vector<VideoFrame> frames = PixelFrames({1, 2, 3});
  frames.push_back(VideoFrame::Make(3, 1, 1, {}));  // 1x1 with no byte at all
  EXPECT_THROW(Select(frames, 1), Panic);
}

INSTANTIATE_TEST_SUITE_P(Modes, SelectKeyframes,
                         ::testing::Values(Mode{false, 0}, Mode{true, 1}, Mode{true, 8192},
                                           Mode{true, std::numeric_limits<uint64_t>::max()}));

TEST(SelectKeyframesErrors, BlockSizeZeroPanicsOnlyWhenSomethingIsCompared) {
  EXPECT_THROW(select_keyframes(FiveThreeFiveOne(), 1, true, 0, false), Panic);
  EXPECT_EQ(select_keyframes(FiveThreeFiveOne(), 0, true, 0, false), Positions{});
  EXPECT_EQ(select_keyframes(PixelFrames({1}), 1, true, 0, false), Positions{});
  // Neighbours of different sizes score the mismatch value without a division.
  std::vector<VideoFrame> frames{VideoFrame::Make(0, 1, 1, {1}), VideoFrame::Make(1, 2, 1, {1})};
  EXPECT_EQ(select_keyframes(frames, 1, true, 0, false), (Positions{1}));
  // Plain scoring never looks at the block size.
  EXPECT_EQ(select_keyframes(FiveThreeFiveOne(), 1, false, 0, false), (Positions{1, 3}));
}

// The selection against a full sort, on scores with many ties and some NaN.
TEST(SelectFromScores, MatchesFullSort) {
  std::mt19937_64 rng(42);
  const auto start = std::chrono::steady_clock::now();
  for (int trial = 0; trial < 400; ++trial) {
    const size_t count = 1 + rng() % 60;
    std::vector<PairEntry> entries(count);
    for (size_t i = 0; i < count; ++i) {
      const uint64_t r = rng() % 20;
      const double score = r == 0   ? std::nan("")
                           : r == 1 ? kMismatchScore
                                    : static_cast<double>(r % 6) / 4.0;
      entries[i] = {i + 1, score};
    }
    const uint64_t k = 1 + rng() % (count + 2);

    std::vector<uint64_t> want;
    if (k >= count) {
      for (const auto& e : entries) want.push_back(e.position);
    } else {
      std::vector<double> sorted;
      for (const auto& e : entries) sorted.push_back(std::isnan(e.score) ? -INFINITY : e.score);
      std::sort(sorted.begin(), sorted.end(), std::greater<>());
      const double pivot = sorted[k - 1];
      const bool nan_pivot =
          std::count_if(entries.begin(), entries.end(),
                        [](const PairEntry& e) { return !std::isnan(e.score); }) < int64_t(k);
      for (const auto& e : entries) {
        if (!nan_pivot && e.score >= pivot) want.push_back(e.position);
      }
    }
    EXPECT_EQ(SelectFromScores(entries, k, false, start), want)
        << "trial " << trial << " count " << count << " k " << k;
  }
}

// Both progress lines, captured from fd 1.
TEST(SelectKeyframesOutput, ProgressLines) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(select_keyframes(FiveThreeFiveOne(), 1, true, 8192, true), (Positions{1, 3}));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex("Keyframe analysis target: 1 \\(SIMD\\+Parallel\\)\n"
                                               "Keyframes selected: 2 \\(requested 1, "
                                               "pivot_diff=5\\.000\\) in [0-9]+\\.[0-9]{2}s\n")))
      << out;

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(select_keyframes(FiveThreeFiveOne(), 7, false, 8192, true), (Positions{1, 2, 3, 4}));
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out, std::regex("Keyframe analysis target: 7 \\(Parallel\\)\n"
                                               "Keyframes selected: 4 \\(all\\) in "
                                               "[0-9]+\\.[0-9]{2}s\n")))
      << out;

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(select_keyframes(FiveThreeFiveOne(), 0, true, 0, true), Positions{});
  EXPECT_EQ(select_keyframes(PixelFrames({3}), 2, true, 0, true), Positions{});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(SelectKeyframesOutput, NanPivotPrintsWithoutSign) {
  std::vector<VideoFrame> frames;
  for (int i = 0; i < 4; ++i) frames.push_back(VideoFrame::Make(i, 4, 0, {}));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(select_keyframes(frames, 1, true, 8192, true), Positions{});
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Keyframes selected: 0 (requested 1, pivot_diff=nan) in "), std::string::npos)
      << out;
}

}  // namespace
}  // namespace velmar::video
