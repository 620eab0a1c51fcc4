#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "common/panic.hpp"
#include "video/difference.hpp"
#include "video/selection.hpp"
#include "video/ffmpeg_program/measured_run.hpp"

namespace velmar::video {
namespace {

constexpr uint64_t kWidth = 37;  // odd sizes: blocks do not divide the frame
constexpr uint64_t kHeight = 11;

// Random frames with a few hard cuts, so that selection has something to find
// and ties are unlikely.
std::vector<VideoFrame> RandomFrames(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<VideoFrame> frames;
  std::vector<uint8_t> base(kWidth * kHeight);
  for (auto& v : base) v = static_cast<uint8_t>(rng());
  for (size_t i = 0; i < count; ++i) {
    if (i % 7 == 3) {
      for (auto& v : base) v = static_cast<uint8_t>(rng());
    } else {
      for (int n = 0; n < 20; ++n) base[rng() % base.size()] = static_cast<uint8_t>(rng());
    }
    frames.push_back(VideoFrame::Make(i, kWidth, kHeight, base));
  }
  return frames;
}

// Feeds the frames the way the decoder does: each through one reused buffer
// that is overwritten as soon as OnFrame returns.
void Feed(ScoringSink& sink, const std::vector<VideoFrame>& frames) {
  sink.OnDimensions({kWidth, kHeight});
  std::vector<uint8_t> buffer(kWidth * kHeight);
  for (const VideoFrame& frame : frames) {
    std::copy_n(frame.data.begin(), buffer.size(), buffer.begin());
    sink.OnFrame(frame.frame_number, buffer);
    std::fill(buffer.begin(), buffer.end(), uint8_t{0xAB});
  }
}

struct Mode {
  bool use_simd;
  uint64_t block_size;
};

class ScoringSinkTest : public ::testing::TestWithParam<Mode> {};

TEST_P(ScoringSinkTest, SelectsWhatSelectKeyframesSelects) {
  const auto [use_simd, block_size] = GetParam();
  const auto frames = RandomFrames(40, 7);
  ScoringSink sink(true, use_simd, block_size);
  Feed(sink, frames);
  ASSERT_FALSE(sink.Failed());
  const std::vector<PairEntry> entries = sink.TakeEntries();
  ASSERT_EQ(entries.size(), frames.size() - 1);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].position, i + 1);
    EXPECT_EQ(entries[i].score, FrameDifference(frames[i], frames[i + 1])) << i;
  }
  for (uint64_t k : {1, 2, 5, 6, 38, 39, 100}) {
    EXPECT_EQ(SelectFromScores(entries, k, false, std::chrono::steady_clock::now()),
              select_keyframes(frames, k, use_simd, block_size, false))
        << "k=" << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ScoringSinkTest,
                         ::testing::Values(Mode{true, 8192}, Mode{true, 1}, Mode{true, 33},
                                           Mode{false, 0}));

TEST(ScoringSinkFailure, KernelFailureWaitsForTheCaller) {
  const auto frames = RandomFrames(5, 3);
  ScoringSink sink(true, true, 0);
  // No exception out of OnFrame: the decoder must be able to drain its child.
  EXPECT_NO_THROW(Feed(sink, frames));
  EXPECT_TRUE(sink.Failed());
  EXPECT_THROW(sink.RethrowFailure(), velmar::Panic);
}

TEST(ScoringSinkFailure, NothingScoredWhenNotAsked) {
  ScoringSink sink(false, true, 0);
  Feed(sink, RandomFrames(5, 3));
  EXPECT_FALSE(sink.Failed());
  EXPECT_NO_THROW(sink.RethrowFailure());
  EXPECT_TRUE(sink.TakeEntries().empty());
}

TEST(ScoringSinkFailure, OneFrameHasNoPair) {
  ScoringSink sink(true, true, 0);
  Feed(sink, RandomFrames(1, 3));
  EXPECT_FALSE(sink.Failed());
  EXPECT_TRUE(sink.TakeEntries().empty());
}

}  // namespace
}  // namespace velmar::video
