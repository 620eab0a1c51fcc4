#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "memory/store/entry_shard.hpp"

namespace velmar::memory {
namespace {

// Times with many ties, both zeros, NaN and the infinities, so that every
// rule of the time order is met (and, at this size, by the radix sort).
double RandomTime(std::mt19937_64& rng) {
  switch (rng() % 10) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return (rng() % 2) ? 0.0 : -0.0;
    case 2: return (rng() % 2) ? HUGE_VAL : -HUGE_VAL;
    case 3: return -static_cast<double>(rng() % 1000);
    default: return static_cast<double>(rng() % 3000) + 0.25 * static_cast<double>(rng() % 4);
  }
}

// prefix + n, built by appending (GCC 12 warns falsely on operator+ here).
std::string Key(const char* prefix, uint64_t n) {
  std::string s(prefix);
  s.append(std::to_string(n));
  return s;
}

MetadataEntry EntryAt(double created_at, uint64_t n) {
  MetadataEntry e;
  e.memory_id = Key("m", n);
  e.user_id = Key("u", n % 5);
  e.memory_type = Key("t", n % 7);
  e.created_at = created_at;
  return e;
}

// The time order must have: newest first, NaN last, ties by slot, no
// deleted slot.
std::vector<uint32_t> ExpectedOrder(const EntryShard& shard) {
  std::vector<uint32_t> slots;
  for (uint32_t i = 0; i < shard.size(); ++i) {
    if (!shard.IsDeleted(i)) slots.push_back(i);
  }
  auto time = [&](uint32_t s) { return shard.SummaryAt(s).created_at; };
  std::stable_sort(slots.begin(), slots.end(), [&](uint32_t a, uint32_t b) {
    const bool nan_a = std::isnan(time(a)), nan_b = std::isnan(time(b));
    if (nan_a != nan_b) return nan_b;
    return !nan_a && time(a) > time(b);
  });
  return slots;
}

// The slots of an order's two runs merged, as a walk sees them.
std::vector<uint32_t> Merged(const EntryShard::Runs& runs) {
  std::vector<EntryShard::TimeItem> items;
  std::merge(runs[0].begin(), runs[0].end(), runs[1].begin(), runs[1].end(),
             std::back_inserter(items), EntryShard::Earlier);
  std::vector<uint32_t> slots;
  for (const EntryShard::TimeItem& t : items) slots.push_back(t.slot);
  return slots;
}

std::vector<uint32_t> TimeOrder(const EntryShard& shard) {
  shard.SortByTime();
  return Merged(shard.TimeRuns());
}

// The time order split by type, from the type orders, and as it must be.
std::vector<std::vector<uint32_t>> TypeOrders(const EntryShard& shard) {
  shard.SortByTypeTime();
  std::vector<std::vector<uint32_t>> orders;
  for (size_t code = 0; code < shard.types.size(); ++code) orders.push_back(Merged(shard.TypeRuns(code)));
  return orders;
}

std::vector<std::vector<uint32_t>> ExpectedTypeOrders(const EntryShard& shard) {
  std::vector<std::vector<uint32_t>> orders(shard.types.size());
  for (uint32_t slot : ExpectedOrder(shard)) orders[shard.SummaryAt(slot).type_code].push_back(slot);
  return orders;
}

// The time order is brought up to date lazily, by merging what changed
// into what was sorted; after every round it equals a full stable sort.
// Rounds of a few adds into many (the usual batch) and of many into few
// take different paths through the merge; a slot replaced twice may get
// its old time back, one may change only its type, and deleted slots must
// leave.
class TimeOrderRounds : public ::testing::TestWithParam<int> {};

TEST_P(TimeOrderRounds, FollowsAddsReplacementsAndDeletes) {
  const int adds = GetParam();
  EntryShard shard;
  SeededStringHash seed{1};
  std::mt19937_64 rng(11 + adds);
  TextPool pool;
  uint64_t next = 0;
  auto replace = [&](size_t slot, double time, bool type_only = false) {
    MetadataEntry made = EntryAt(time, rng());
    made.memory_id = shard.At(slot).memory_id;
    if (type_only) {
      made.user_id = shard.At(slot).UserId();
      made.memory_type = shard.At(slot).MemoryType() + "x";
    }
    StoredEntry e = MakeStored(std::move(made), pool);
    const EntrySummary summary = shard.Summarize(e, seed);
    shard.PrepareReplace();
    shard.Replace(slot, std::move(e), summary);
  };
  for (int round = 0; round < 12; ++round) {
    const int count = round == 0 ? 3000 : adds;
    for (int i = 0; i < count; ++i, ++next) {
      StoredEntry e = MakeStored(EntryAt(RandomTime(rng), next), pool);
      const EntrySummary summary = shard.Summarize(e, seed);
      const uint64_t hash = seed(e.memory_id);
      shard.Add(std::move(e), summary, hash);
    }
    if (round % 3 != 1) {
      for (int i = 0; i < 100; ++i) {
        const size_t slot = rng() % shard.size();
        const double before = shard.SummaryAt(slot).created_at;
        replace(slot, RandomTime(rng));
        if (i % 4 == 0) replace(slot, before);
        if (i % 6 == 0) replace(slot, shard.SummaryAt(slot).created_at, true);
        if (i % 5 == 0) {
          const size_t gone = rng() % shard.size();
          shard.PrepareReplace();
          if (!shard.IsDeleted(gone)) shard.MarkDeleted(gone);
        }
      }
    }
    ASSERT_EQ(TimeOrder(shard), ExpectedOrder(shard)) << "round " << round;
    // The split by type is made in round 0 and kept up to date after.
    ASSERT_EQ(TypeOrders(shard), ExpectedTypeOrders(shard)) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(EntryShard, TimeOrderRounds, ::testing::Values(1, 40, 3000, 9000));

TEST(EntryShard, TimeWindowHoldsExactlyTheTimesWithinItsBounds) {
  EntryShard shard;
  SeededStringHash seed{2};
  std::mt19937_64 rng(5);
  TextPool pool;
  for (uint64_t n = 0; n < 500; ++n) {
    StoredEntry e = MakeStored(EntryAt(RandomTime(rng), n), pool);
    const EntrySummary summary = shard.Summarize(e, seed);
    shard.Add(std::move(e), summary, n * 0x9e3779b97f4a7c15ULL);
  }
  shard.SortByTime();
  ASSERT_TRUE(shard.recent_time.empty());  // one batch into an empty shard
  for (auto [newest, oldest] : {std::pair{2000.0, 100.0}, std::pair{0.0, -0.0}, std::pair{-1.0, 5.0}}) {
    const EntryShard::Window w = EntryShard::WindowOf(shard.by_time, newest, oldest);
    size_t inside = 0, nan = 0;
    for (size_t s = 0; s < shard.size(); ++s) {
      const double t = shard.SummaryAt(s).created_at;
      if (std::isnan(t)) ++nan;
      if (t <= newest && t >= oldest) ++inside;
    }
    EXPECT_EQ(static_cast<size_t>(w.end - w.begin), inside) << newest << " " << oldest;
    EXPECT_EQ(static_cast<size_t>(w.last - w.nan), nan);
    for (const EntryShard::TimeItem* t = w.begin; t != w.end; ++t) {
      EXPECT_TRUE(t->created_at <= newest && t->created_at >= oldest);
    }
  }
}

}  // namespace
}  // namespace velmar::memory
