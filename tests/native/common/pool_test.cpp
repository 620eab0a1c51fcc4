// Covers: src/common/worker_pool.cpp (parallel selection in src/video/selection.cpp as its workload).
#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>

#include "common/panic.hpp"
#include "common/worker_pool.hpp"
#include "video/difference.hpp"
#include "video/selection.hpp"

namespace velmar {
namespace {

using video::VideoFrame;

size_t ThreadsInProcess() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// Frames with random content plus a few cuts, a few repeats and a size change,
// so that the selection sees large, tied and mismatch scores.
std::vector<VideoFrame> TestClip() {
  std::mt19937_64 rng(7);
  std::vector<VideoFrame> frames;
  std::vector<uint8_t> base(64 * 48);
  for (auto& v : base) v = static_cast<uint8_t>(rng());
  for (uint64_t i = 0; i < 48; ++i) {
    if (i % 11 == 0) {
      for (auto& v : base) v = static_cast<uint8_t>(rng());
    } else if (i % 5 != 0) {
      for (int n = 0; n < 300; ++n) base[rng() % base.size()] = static_cast<uint8_t>(rng());
    }
    const uint64_t width = i == 30 ? 48 : 64;
    frames.push_back(VideoFrame::Make(i, width, 48 * 64 / width, base));
  }
  return frames;
}

// The selection spelled out the slow way: scalar scores, full sort.
std::vector<uint64_t> ReferenceSelection(const std::vector<VideoFrame>& frames, uint64_t k) {
  std::vector<double> scores;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    const VideoFrame& a = frames[i];
    const VideoFrame& b = frames[i + 1];
    if (a.width != b.width || a.height != b.height) {
      scores.push_back(video::kMismatchScore);
      continue;
    }
    uint64_t sum = 0;
    const size_t n = a.width * a.height;
    for (size_t j = 0; j < n; ++j) sum += static_cast<uint64_t>(std::abs(a.data[j] - b.data[j]));
    scores.push_back(static_cast<double>(sum) / static_cast<double>(n));
  }
  std::vector<uint64_t> out;
  std::vector<double> sorted = scores;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  const double pivot = k >= scores.size() ? -1.0 : sorted[k - 1];
  for (size_t i = 0; i < scores.size(); ++i) {
    if (scores[i] >= pivot) out.push_back(i + 1);
  }
  return out;
}

TEST(WorkerPool, WorkerExceptionReachesCaller) {
  try {
    WorkerPool().execute([] {
      tbb::parallel_for(0, 1000, [](int i) {
        if (i == 537) throw Panic("block 537 failed");
      });
    });
    FAIL() << "no exception";
  } catch (const Panic& panic) {
    EXPECT_STREQ(panic.what(), "block 537 failed");
  }
}

TEST(WorkerPool, NestedWorkerExceptionReachesCaller) {
  std::vector<VideoFrame> frames = TestClip();
  frames[20] = VideoFrame::Make(20, 64, 48, {});  // far too short: a kernel check fails
  EXPECT_THROW(video::select_keyframes(frames, 3, true, 64, false), Panic);
  EXPECT_THROW(video::select_keyframes(frames, 3, false, 64, false), Panic);
  EXPECT_THROW(video::select_keyframes(TestClip(), 3, true, 0, false), Panic);
  // The pool is still usable afterwards.
  EXPECT_EQ(video::select_keyframes(TestClip(), 3, true, 64, false),
            ReferenceSelection(TestClip(), 3));
}

// A worker that scores a pair runs that pair's block sum on the same pool;
// it must neither deadlock nor lose blocks, and sees the pool's size.
TEST(WorkerPool, NestedParallelismOnTheSamePool) {
  std::vector<uint8_t> a(1 << 16), b(1 << 16);
  std::mt19937_64 rng(3);
  for (auto& v : a) v = static_cast<uint8_t>(rng());
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  const VideoFrame fa = VideoFrame::Make(0, 256, 256, a);
  const VideoFrame fb = VideoFrame::Make(1, 256, 256, b);
  const double want = video::FrameDifference(fa, fb);
  const uint64_t size = ActualThreadCount();
  EXPECT_EQ(size, static_cast<uint64_t>(WorkerPool().max_concurrency()));

  std::atomic<int> wrong{0};
  WorkerPool().execute([&] {
    tbb::parallel_for(0, 64, 1, [&](int i) {
      if (video::FrameDifferenceSimd(fa, fb, 1 + static_cast<uint64_t>(i) * 97) != want) ++wrong;
      if (ActualThreadCount() != size) ++wrong;
    });
  });
  EXPECT_EQ(wrong.load(), 0);
}

// Pool size is process-wide state, fixed by its first user: each case runs
// in a freshly started copy of this binary.
class FreshProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void ConfiguredPoolIsExactAndStarted() {
  ConfigureWorkerPool(5);
  // Every worker has started before ConfigureWorkerPool returns.
  const size_t threads = ThreadsInProcess();
  if (ActualThreadCount() != 5 || threads < 5) {
    std::fprintf(stderr, "size %llu threads %zu\n", (unsigned long long)ActualThreadCount(),
                 threads);
    std::exit(1);
  }
  ConfigureWorkerPool(2);  // too late: dropped
  std::exit(ActualThreadCount() == 5 ? 0 : 2);
}

TEST_F(FreshProcess, ConfiguredSizeIsExactEvenAboveTheCoreCount) {
  EXPECT_EXIT(ConfiguredPoolIsExactAndStarted(), ::testing::ExitedWithCode(0), "");
}

// An absurd request is cut to the cap instead of wrapping to a negative
// int (TBB's "automatic") or allocating slots for billions of threads.
void HugeRequestIsCapped() {
  ConfigureWorkerPool(~uint64_t{0});
  const uint64_t want = std::max(kMaxRequestedThreads, AvailableProcessors());
  std::exit(ActualThreadCount() == want && ThreadsInProcess() >= want ? 0 : 1);
}

TEST_F(FreshProcess, HugeRequestIsCapped) {
  EXPECT_EXIT(HugeRequestIsCapped(), ::testing::ExitedWithCode(0), "");
}

void DefaultPoolFollowsAffinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) std::exit(3);
  int first = 0;
  while (!CPU_ISSET(first, &set)) ++first;
  CPU_ZERO(&set);
  CPU_SET(first, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) std::exit(3);
  std::exit(AvailableProcessors() == 1 && ActualThreadCount() == 1 ? 0 : 1);
}

TEST_F(FreshProcess, DefaultSizeFollowsTheAffinityMask) {
  EXPECT_EXIT(DefaultPoolFollowsAffinity(), ::testing::ExitedWithCode(0), "");
}

void DefaultPoolHasProcessorCount() {
  std::exit(ActualThreadCount() == AvailableProcessors() ? 0 : 1);
}

TEST_F(FreshProcess, DefaultSizeIsTheProcessorCount) {
  EXPECT_EXIT(DefaultPoolHasProcessorCount(), ::testing::ExitedWithCode(0), "");
}

void SelectWithPoolOf(uint64_t threads) {
  ConfigureWorkerPool(threads);
  if (ActualThreadCount() != threads) std::exit(1);
  const std::vector<VideoFrame> frames = TestClip();
  for (uint64_t k : {1, 2, 5, 9, 30}) {
    const std::vector<uint64_t> want = ReferenceSelection(frames, k);
    for (uint64_t block : {1, 7, 100, 8192}) {
      if (video::select_keyframes(frames, k, true, block, false) != want) std::exit(2);
    }
    if (video::select_keyframes(frames, k, false, 0, false) != want) std::exit(2);
  }
  std::exit(0);
}

class ResultsPerPoolSize : public FreshProcess, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ResultsPerPoolSize, SameSelection) {
  EXPECT_EXIT(SelectWithPoolOf(GetParam()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Threads, ResultsPerPoolSize, ::testing::Values(1, 3, 8));

}  // namespace
}  // namespace velmar
