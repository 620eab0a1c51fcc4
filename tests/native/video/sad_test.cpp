// Covers: src/video/sad_sse2.cpp, src/video/sad_avx2.cpp, src/video/cpu_features.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "video/cpu_features.hpp"
#include "video/sad.hpp"

namespace velmar::video {
namespace {

using Kernel = uint64_t (*)(const uint8_t*, const uint8_t*, size_t) noexcept;

struct KernelCase {
  const char* name;
  Kernel kernel;
  bool needs_avx2;
};

class SadKernelTest : public ::testing::TestWithParam<KernelCase> {
 protected:
  void SetUp() override {
    if (GetParam().needs_avx2 && !GetCpuFeatures().avx2) GTEST_SKIP() << "no AVX2 here";
  }
};

// Two random buffers and, for each relative shift of B against A, prefix sums
// of |A[i] - B[i + shift]|: the exact scalar sum of any run in O(1).
struct Buffers {
  static constexpr size_t kShifts[] = {0, 13};
  std::vector<uint8_t> a, b;
  std::vector<std::vector<uint64_t>> prefix;

  explicit Buffers(size_t size) : a(size), b(size + 32) {
    std::mt19937_64 rng(size);
    for (auto& v : a) v = static_cast<uint8_t>(rng());
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    for (size_t shift : kShifts) {
      std::vector<uint64_t> p(size + 1, 0);
      for (size_t i = 0; i < size; ++i) {
        const int d = int{a[i]} - int{b[i + shift]};
        p[i + 1] = p[i] + static_cast<uint64_t>(d < 0 ? -d : d);
      }
      prefix.push_back(std::move(p));
    }
  }

  // Checks the kernel on [offset, offset + length) of A for every shift.
  void Check(Kernel kernel, size_t offset, size_t length) const {
    for (size_t s = 0; s < std::size(kShifts); ++s) {
      const uint64_t want = prefix[s][offset + length] - prefix[s][offset];
      ASSERT_EQ(kernel(a.data() + offset, b.data() + offset + kShifts[s], length), want)
          << "offset " << offset << " length " << length << " shift " << kShifts[s];
    }
  }
};

TEST_P(SadKernelTest, ShortLengthsAtEveryOffset) {
  const Buffers buffers(100 + 32);
  for (size_t length = 0; length <= 100; ++length) {
    for (size_t offset = 0; offset < 32; ++offset) buffers.Check(GetParam().kernel, offset, length);
  }
}

TEST_P(SadKernelTest, BlockSizedLengthsAtEveryOffset) {
  const Buffers buffers(8192 + 64 + 32);
  for (size_t length = 8192 - 40; length <= 8192 + 40; ++length) {
    for (size_t offset = 0; offset < 32; ++offset) buffers.Check(GetParam().kernel, offset, length);
  }
}

TEST_P(SadKernelTest, FullHdLengthsAtEveryOffset) {
  constexpr size_t kFrame = 1920 * 1080;
  const Buffers buffers(kFrame + 64 + 32);
  for (size_t delta : {0, 1, 15, 16, 17, 31, 32, 33, 63, 64}) {
    for (size_t offset = 0; offset < 32; ++offset) {
      buffers.Check(GetParam().kernel, offset, kFrame + delta);
      buffers.Check(GetParam().kernel, offset, kFrame - delta);
    }
  }
}

// All-black against all-white: the largest per-byte difference everywhere,
// so any lane that saturates or wraps shows up.
TEST_P(SadKernelTest, ExtremeValuesDoNotSaturate) {
  std::vector<uint8_t> black(1 << 20, 0), white(1 << 20, 255);
  for (size_t length : {size_t{0}, size_t{31}, size_t{4097}, black.size()}) {
    EXPECT_EQ(GetParam().kernel(black.data(), white.data(), length), 255u * length);
    EXPECT_EQ(GetParam().kernel(white.data(), black.data(), length), 255u * length);
    EXPECT_EQ(GetParam().kernel(white.data(), white.data(), length), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SadKernelTest,
                         ::testing::Values(KernelCase{"Sse2", SadSse2, false},
                                           KernelCase{"Avx2", SadAvx2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The feature table: each answer from the identification words.
struct FeatureCase {
  const char* name;
  CpuidWords words;
  CpuFeatures want;
};

constexpr uint32_t kXsaveBoth = (1u << 26) | (1u << 27);
constexpr uint32_t kFma = 1u << 12, kSse41 = 1u << 19, kSse42 = 1u << 20;
constexpr uint32_t kAvx2 = 1u << 5;

class CpuFeatureTable : public ::testing::TestWithParam<FeatureCase> {};

TEST_P(CpuFeatureTable, Derives) {
  const CpuFeatures got = DeriveCpuFeatures(GetParam().words);
  const CpuFeatures& want = GetParam().want;
  EXPECT_EQ(got.avx2, want.avx2);
  EXPECT_TRUE(got.sse2);
  EXPECT_EQ(got.sse4_1, want.sse4_1);
  EXPECT_EQ(got.sse4_2, want.sse4_2);
  EXPECT_EQ(got.fma, want.fma);
}

INSTANTIATE_TEST_SUITE_P(
    Words, CpuFeatureTable,
    ::testing::Values(
        FeatureCase{"Nothing", {1, 0, 0, 0}, {false, true, false, false, false}},
        FeatureCase{"Everything",
                    {7, kXsaveBoth | kFma | kSse41 | kSse42, kAvx2, 0x7},
                    {true, true, true, true, true}},
        // The OS has not enabled the YMM state: no AVX2, no FMA, SSE4 stays.
        FeatureCase{"NoYmmState",
                    {7, kXsaveBoth | kFma | kSse41 | kSse42, kAvx2, 0x3},
                    {false, true, true, true, false}},
        FeatureCase{"NoOsxsave",
                    {7, (1u << 26) | kFma | kSse41, kAvx2, 0x7},
                    {false, true, true, false, false}},
        // Leaf 7 out of reach: whatever EBX holds is not an answer.
        FeatureCase{"NoLeaf7",
                    {6, kXsaveBoth | kFma, kAvx2, 0x7},
                    {false, true, false, false, true}},
        FeatureCase{"Avx2OnlyXcr0Sse",
                    {7, kXsaveBoth, kAvx2, 0x2},
                    {false, true, false, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CpuFeatures, CachedAnswerMatchesThisProcessor) {
  const CpuFeatures& first = GetCpuFeatures();
  EXPECT_EQ(&first, &GetCpuFeatures());
  const CpuFeatures fresh = DeriveCpuFeatures(ReadCpuidWords());
  EXPECT_EQ(first.avx2, fresh.avx2);
  EXPECT_EQ(first.fma, fresh.fma);
  EXPECT_EQ(first.sse4_1, fresh.sse4_1);
  EXPECT_EQ(first.sse4_2, fresh.sse4_2);
  EXPECT_TRUE(first.sse2);
}

}  // namespace
}  // namespace velmar::video
