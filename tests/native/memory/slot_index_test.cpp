#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "memory/store/slot_index.hpp"

namespace velmar::memory {
namespace {

// Keys that share the low half of their hash, or whole hashes, are told
// apart by the caller's test, across every growth of the cells.
TEST(SlotIndex, FindsEverySlotAcrossGrowthAndCollisions) {
  SlotIndex index;
  std::vector<uint64_t> hashes;
  std::mt19937_64 rng(7);
  for (uint32_t slot = 0; slot < 5000; ++slot) {
    uint64_t hash = rng();
    if (slot % 7 == 3) hash = hashes[slot / 2] ^ (uint64_t{1} << 40);  // same low half
    if (slot % 11 == 5) hash = hashes[slot / 3];                        // same hash
    hashes.push_back(hash);
    index.Add(hash, slot);
    if (slot % 500 == 0 || slot == 4999) {
      for (uint32_t k = 0; k <= slot; ++k) {
        ASSERT_EQ(index.Find(hashes[k], [&](size_t s) { return s == k; }), k);
      }
    }
  }
  EXPECT_EQ(index.count(), 5000u);
  EXPECT_EQ(index.Find(12345, [](size_t) { return false; }), -1);
}

TEST(SlotIndex, ReserveMakesRoomWithoutChangingWhatIsFound) {
  SlotIndex index;
  index.Add(42, 0);
  index.Reserve(1000);
  EXPECT_TRUE(index.Fits(1000));
  EXPECT_EQ(index.Find(42, [](size_t s) { return s == 0; }), 0);
}

}  // namespace
}  // namespace velmar::memory
