// Covers: src/memory/search/strict.cpp, src/memory/search/flexible.cpp, src/memory/store/store_reader.cpp, src/memory/lowercase.cpp.
#include <gtest/gtest.h>

#include <cmath>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "memory/lowercase.hpp"
#include "memory/search.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {
namespace {

TEST(ToLowerTest, MapsFullUnicode) {
  EXPECT_EQ(ToLower(""), "");
  EXPECT_EQ(ToLower("Hello, World 123"), "hello, world 123");
  EXPECT_EQ(ToLower("ΟΔΟΣ"), "οδος");
  EXPECT_EQ(ToLower("ΟΔΟΣ ΚΑΙ ΣΟΦΙΑ"), "οδος και σοφια");
  EXPECT_EQ(ToLower("İ"), "i\xCC\x87");
  EXPECT_EQ(ToLower("STRASSE straße"), "strasse straße");
  EXPECT_EQ(ToLower("ǄÉ𐐀"), "ǆé𐐨");  // a character outside the BMP too
}

TEST(ToLowerTest, NonAsciiAtEveryPlaceOfTheFastPath) {
  for (size_t length = 1; length < 40; ++length) {
    for (size_t at = 0; at < length; ++at) {
      std::string upper(length, 'A'), lower(length, 'a');
      upper.replace(at, 1, "É");
      lower.replace(at, 1, "é");
      ASSERT_EQ(ToLower(upper), lower) << length << " " << at;
    }
  }
}

TEST(ToLowerTest, TextThatGrowsWhenLowered) {
  // Each İ (two bytes, one UTF-16 unit) becomes three bytes, two units.
  std::string upper, lower;
  for (int i = 0; i < 5000; ++i) {
    upper += "İ";
    lower += "i\xCC\x87";
  }
  EXPECT_EQ(ToLower(upper), lower);
}

// Built by appending: GCC 12 warns falsely about "m" + std::to_string(i).
std::string Id(int i) {
  std::string id = "m";
  id.append(std::to_string(i));
  return id;
}

MetadataEntry Entry(std::string id, double created_at, std::string type = "",
                    std::vector<std::string> subjects = {},
                    std::vector<std::string> objects = {}) {
  MetadataEntry e;
  e.memory_id = std::move(id);
  e.created_at = created_at;
  e.memory_type = std::move(type);
  e.subjects = std::move(subjects);
  e.objects = std::move(objects);
  return e;
}

StoredEntry Stored(MetadataEntry e) {
  static TextPool pool;
  return MakeStored(std::move(e), pool);
}

TEST(FlexibleScoreTest, SumsInSinglePrecision) {
  FlexibleQuery q;
  q.memory_types = {"note"};
  q.subjects = {"work"};
  const StoredEntry partial = Stored(Entry("a", 1, "notes", {"working"}, {"work item"}));
  EXPECT_EQ(FlexibleScore(partial, q), 0.5f + 0.6f + 0.8f);
  EXPECT_LT(*FlexibleScore(partial, q), kFlexibleThreshold);
  q.created_after = 0;
  EXPECT_GE(*FlexibleScore(partial, q), kFlexibleThreshold);
  q.created_after = 2;
  EXPECT_FALSE(FlexibleScore(partial, q).has_value());
}

// The snapshot order: shards in order, table order within each.
std::vector<std::string> SnapshotIds(const MetadataStore& store) {
  std::vector<std::string> ids;
  for (const MetadataEntry& e : store.Snapshot()) ids.push_back(e.memory_id);
  return ids;
}

TEST(SearchTest, StrictTiesAndLimitsAcrossShards) {
  MetadataStore store;
  for (int i = 0; i < 2000; ++i) store.Insert(Entry(Id(i), i % 7));
  const std::vector<std::string> order = SnapshotIds(store);
  std::vector<std::string> expected;
  for (int t = 6; t >= 0; --t) {
    for (const std::string& id : order) {
      if (std::stoi(id.substr(1)) % 7 == t) expected.push_back(id);
    }
  }
  StrictQuery q;
  for (uint64_t limit : {0ull, 1ull, 5ull, 100ull, 285ull, 286ull, 1999ull, 5000ull, ~0ull}) {
    q.limit = limit;
    std::vector<std::string> want(expected.begin(),
                                  expected.begin() + std::min<uint64_t>(limit, expected.size()));
    ASSERT_EQ(IdTexts(SearchStrict(store, q)), want) << limit;
  }
}

TEST(SearchTest, FlexibleRanksByScoreThenTime) {
  MetadataStore store;
  for (int i = 0; i < 3000; ++i) {
    const std::string id = Id(i);
    // Scores 2.0 (exact type + exact subject) or 2.8 (plus an object).
    std::vector<std::string> objects;
    if (i % 3 == 0) objects = {"WORK"};
    store.Insert(Entry(id, i % 11, "note", {"Work"}, objects));
  }
  FlexibleQuery q;
  q.memory_types = {"note"};
  q.subjects = {"WORK"};
  q.limit = 5000;
  const std::vector<std::string> all = IdTexts(SearchFlexible(store, q));
  ASSERT_EQ(all.size(), 3000u);
  auto key = [](const std::string& id) {
    const int i = std::stoi(id.substr(1));
    return std::pair<int, int>(i % 3 == 0 ? 1 : 0, i % 11);
  };
  for (size_t i = 1; i < all.size(); ++i) ASSERT_GE(key(all[i - 1]), key(all[i])) << i;
  for (uint64_t limit : {1ull, 10ull, 999ull, 1000ull, 1001ull}) {
    q.limit = limit;
    const std::vector<std::string> top = IdTexts(SearchFlexible(store, q));
    ASSERT_EQ(top.size(), limit);
    for (size_t i = 0; i < top.size(); ++i) ASSERT_EQ(key(top[i]), key(all[i]));
  }
}

// An entry listed under several keys the query matches ("alpha" and
// "alphabet" for "alpha") is a candidate twice, and must come out once and
// in time order, whether the store is small beside its candidates or large.
class ListedTwice : public ::testing::TestWithParam<int> {};

TEST_P(ListedTwice, IsFoundOnce) {
  MetadataStore store;
  for (int i = 0; i < GetParam(); ++i) store.Insert(Entry(Id(i), i, "filler", {"other"}));
  std::vector<std::string> want;
  for (int i = 0; i < 6; ++i) {
    const std::string id = std::string("twice").append(std::to_string(i));
    store.Insert(Entry(id, 100000 - i, "note", {"Alpha", "alphabet"}));
    want.push_back(id);
  }
  StrictQuery strict;
  strict.subjects = {"alpha"};
  EXPECT_EQ(IdTexts(SearchStrict(store, strict)), want);
  FlexibleQuery flexible;
  flexible.memory_types = {"note"};
  flexible.subjects = {"alpha"};
  EXPECT_EQ(IdTexts(SearchFlexible(store, flexible)), want);
}

INSTANTIATE_TEST_SUITE_P(SearchTest, ListedTwice, ::testing::Values(0, 30000));

// Searches judge most entries from a per-shard summary (time, importance, a
// hash of user_id, a code of memory_type) before reading the entry itself.
// Against a literal filter over the snapshot, through replacements that
// change every summarised field, the results must be the same, in order.
//
// With `indexed`, no entry holds an empty key and rare keys abound, so that
// the searches also narrow through the indexes and the time order (with
// NaN, signed-zero and infinite times among the rest, which all ways must
// rank alike); otherwise they mostly scan. `ids` sets the store's size: a
// large store sorts its time order another way than a small one. Every
// hundred rounds more entries are replaced and some deleted, so that the
// time orders and the user lists that searches built take in changes.
void CheckAgainstLiteralScan(bool indexed, int ids = 1500) {
  std::vector<std::string> types = {"note", "notes", "task", "", "ta"};
  const std::vector<std::string> users = {"u1", "u2", "", "u10"};
  std::vector<std::string> terms = {"Work", "work", "homework", "ΣΟΦΙΑ", "", "wor"};
  if (indexed) {
    std::erase(types, "");
    std::erase(terms, "");
    for (int i = 0; i < 40; ++i) {
      terms.push_back(std::string("rare").append(std::to_string(i)));
      types.push_back(std::string("kind").append(std::to_string(i)));
    }
  }
  const double times[] = {std::nan(""), -0.0, 0.0, -3.5, HUGE_VAL, -HUGE_VAL};
  std::mt19937_64 rng(11);
  auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  auto some = [&](size_t most) {
    std::vector<std::string> out;
    for (size_t n = rng() % (most + 1); n > 0; --n) out.push_back(pick(terms));
    return out;
  };
  MetadataStore store;
  auto insert = [&](int steps) {
    for (int step = 0; step < steps; ++step) {
      MetadataEntry e = Entry(Id(static_cast<int>(rng() % static_cast<uint64_t>(ids))),
                              static_cast<double>(rng() % 40) + 1e-9 * static_cast<double>(rng() % 3),
                              pick(types), some(3), some(2));
      e.user_id = pick(users);
      e.keywords = some(2);
      e.tags = some(2);
      e.importance = static_cast<uint8_t>(rng() % 6);
      if (indexed && rng() % 50 == 0) e.created_at = times[rng() % std::size(times)];
      store.Insert(std::move(e));
    }
  };
  insert(4 * ids);
  // Newest first, NaN last; stable, so equal times keep snapshot order.
  auto newer = [](double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
    return a > b;
  };
  std::vector<MetadataEntry> snapshot = store.Snapshot();

  auto loose = [](const std::vector<std::string>& entry_terms, const std::vector<std::string>& q) {
    for (const auto& t : entry_terms) {
      const std::string e = ToLower(t);
      for (const auto& qt : q) {
        if (e.find(qt) != std::string::npos || qt.find(e) != std::string::npos) return true;
      }
    }
    return false;
  };
  auto lowered = [](std::vector<std::string> v) {
    for (auto& t : v) t = ToLower(t);
    return v;
  };
  auto has = [](const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
  };

  for (int round = 0; round < 300; ++round) {
    if (round % 100 == 50) {
      insert(ids / 4);
      std::vector<std::string> gone;
      for (int i = 0; i < ids / 20; ++i) gone.push_back(Id(static_cast<int>(rng() % static_cast<uint64_t>(ids))));
      store.Delete(gone);
      snapshot = store.Snapshot();
    } else if (round % 10 == 5) {
      // A few changes at a time stay in each shard's recent time order,
      // apart from the main one, and are walked beside it.
      insert(ids / 100);
      snapshot = store.Snapshot();
    }
    StrictQuery sq;
    FlexibleQuery fq;
    if (rng() % 2) sq.user_id = fq.user_id = pick(users);
    if (rng() % 2) sq.memory_types = fq.memory_types = {pick(types), pick(types)};
    if (rng() % 3 == 0) sq.subjects = fq.subjects = {pick(terms)};
    if (rng() % 4 == 0) sq.keywords = {pick(terms)};
    if (rng() % 4 == 0) sq.tags = {pick(terms)};
    if (rng() % 3 == 0) sq.importance_min = static_cast<uint8_t>(rng() % 6);
    if (rng() % 3 == 0) sq.importance_max = static_cast<uint8_t>(rng() % 6);
    if (rng() % 3 == 0) sq.created_after = fq.created_after = static_cast<double>(rng() % 40);
    if (rng() % 3 == 0) sq.created_before = fq.created_before = static_cast<double>(rng() % 40);
    sq.limit = fq.limit = rng() % 2 ? 10 : 100000;

    std::vector<const MetadataEntry*> kept;
    const auto subjects = lowered(sq.subjects), keywords = lowered(sq.keywords);
    for (const MetadataEntry& e : snapshot) {
      if (sq.user_id && e.user_id != *sq.user_id) continue;
      if (!sq.memory_types.empty() && !has(sq.memory_types, e.memory_type)) continue;
      if (!subjects.empty() && !loose(e.subjects, subjects)) continue;
      if (!keywords.empty() && !loose(e.keywords, keywords)) continue;
      if (!sq.tags.empty() &&
          std::none_of(e.tags.begin(), e.tags.end(), [&](auto& t) { return has(sq.tags, t); })) {
        continue;
      }
      if (sq.importance_min && e.importance < *sq.importance_min) continue;
      if (sq.importance_max && e.importance > *sq.importance_max) continue;
      if (sq.created_after && *sq.created_after > e.created_at) continue;
      if (sq.created_before && e.created_at > *sq.created_before) continue;
      kept.push_back(&e);
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [&](auto* a, auto* b) { return newer(a->created_at, b->created_at); });
    std::vector<std::string> want;
    for (size_t i = 0; i < kept.size() && i < sq.limit; ++i) want.push_back(kept[i]->memory_id);
    ASSERT_EQ(IdTexts(SearchStrict(store, sq)), want) << round;

    FlexibleQuery lq = fq;
    lq.subjects = lowered(fq.subjects);
    std::vector<std::pair<float, const MetadataEntry*>> scored;
    for (const MetadataEntry& e : snapshot) {
      std::optional<float> score = FlexibleScore(Stored(e), lq);
      if (score && *score >= kFlexibleThreshold) scored.emplace_back(*score, &e);
    }
    std::stable_sort(scored.begin(), scored.end(), [&](auto& a, auto& b) {
      if (a.first != b.first) return a.first > b.first;
      return newer(a.second->created_at, b.second->created_at);
    });
    want.clear();
    for (size_t i = 0; i < scored.size() && i < fq.limit; ++i) {
      want.push_back(scored[i].second->memory_id);
    }
    ASSERT_EQ(IdTexts(SearchFlexible(store, fq)), want) << round;
  }
}

TEST(SearchTest, MatchesALiteralScanThroughReplacements) { CheckAgainstLiteralScan(false); }

TEST(SearchTest, NarrowedSearchesMatchALiteralScan) { CheckAgainstLiteralScan(true); }

TEST(SearchTest, NarrowedSearchesOfALargeStoreMatchALiteralScan) {
  CheckAgainstLiteralScan(true, 40000);
}

}  // namespace
}  // namespace velmar::memory
