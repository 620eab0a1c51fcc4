#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>

#include "memory/store/metadata_store.hpp"
#include "memory/store/sharded_map.hpp"

namespace velmar::memory {
namespace {

std::string Key(const char* prefix, uint64_t n) {
  std::string s(prefix);
  s.append(std::to_string(n));
  return s;
}

TEST(ShardedMap, ShardCountIsAPowerOfTwoOfAtLeastFour) {
  MetadataStore store;
  size_t n = store.ShardCount();
  EXPECT_GE(n, 4u);
  EXPECT_EQ(n & (n - 1), 0u);
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  EXPECT_EQ(n, std::max<size_t>(4, std::bit_ceil(4 * static_cast<size_t>(CPU_COUNT(&set)))));
  EXPECT_EQ(MetadataStore().ShardCount(), n);
}

TEST(ShardedMap, SeedsDifferBetweenMaps) {
  ShardedMap<int> a, b;
  int differing = 0;
  for (int i = 0; i < 64; ++i) {
    std::string key = Key("key", i);
    if (a.ShardIndex(key) != b.ShardIndex(key)) ++differing;
  }
  EXPECT_GT(differing, 0);
  // The hash reads every byte of keys of every length.
  for (size_t len = 1; len < 40; ++len) {
    std::string s(len, 'a');
    for (size_t i = 0; i < len; ++i) {
      std::string t = s;
      t[i] = 'b';
      EXPECT_NE(HashBytes(s, 1), HashBytes(t, 1)) << len << " " << i;
    }
  }
}

}  // namespace
}  // namespace velmar::memory
