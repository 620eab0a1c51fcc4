#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory/lowercase.hpp"
#include "memory/search.hpp"
#include "memory/store/metadata_store.hpp"

// What strict and flexible search share: text matching, the ranking of
// matches, and the walks over shards and over identifiers found in an index.

namespace velmar::memory::ranking {


// Either text contains the other (byte-wise; the empty text is contained in
// every text). Only the shorter can sit inside the longer, so one search is
// enough.
inline bool EitherContains(std::string_view a, std::string_view b) {
  return a.size() >= b.size() ? a.find(b) != std::string_view::npos
                              : b.find(a) != std::string_view::npos;
}

inline bool AnyEqual(const std::string& value, const std::vector<std::string>& choices) {
  return std::find(choices.begin(), choices.end(), value) != choices.end();
}

// Some pair of an entry term (already lowercase) and a query term (already
// lowercase) matches loosely.
inline bool AnyLooseMatch(TextSpan entry_terms, const std::vector<std::string>& query_terms) {
  for (const PooledText* e : entry_terms) {
    for (const std::string& q : query_terms) {
      if (EitherContains(e->Lower(), q)) return true;
    }
  }
  return false;
}

inline std::vector<std::string> Lowered(const std::vector<std::string>& terms) {
  std::vector<std::string> out;
  out.reserve(terms.size());
  for (const std::string& t : terms) out.push_back(ToLower(t));
  return out;
}

// What a search keeps of a matching entry. `ordinal` is its position in the
// snapshot (shard, then place within the shard's table order).
struct RankedMatch {
  float score = 0;
  double created_at = 0;
  uint64_t ordinal = 0;
  const std::string* memory_id = nullptr;  // the store's own
};

// The memory_ids of the first `limit` of `matches` (each with a memory_id
// pointer) in the order `before`; sorts only that many.
template <class Match, class Before>
IdRefs FirstIds(std::vector<Match>& matches, uint64_t limit, Before before) {
  const size_t count = static_cast<size_t>(std::min<uint64_t>(limit, matches.size()));
  std::partial_sort(matches.begin(), matches.begin() + static_cast<std::ptrdiff_t>(count), matches.end(),
                    before);
  IdRefs out(count);
  for (size_t i = 0; i < count; ++i) out[i] = matches[i].memory_id;
  return out;
}

// Higher score first, then newer first, then snapshot order. A total order:
// the ordinal is unique, and a NaN time (which conversion never lets into the
// store) ranks after every number rather than breaking the sort.
inline bool Ranks(float score_a, double time_a, uint64_t ordinal_a, const RankedMatch& b) {
  if (score_a != b.score) return score_a > b.score;
  const bool nan_a = std::isnan(time_a), nan_b = std::isnan(b.created_at);
  if (nan_a != nan_b) return nan_b;
  if (!nan_a && time_a != b.created_at) return time_a > b.created_at;
  return ordinal_a < b.ordinal;
}

inline bool Better(const RankedMatch& a, const RankedMatch& b) {
  return Ranks(a.score, a.created_at, a.ordinal, b);
}

// The best `k` candidates of one shard. Once full it is a heap with the worst
// kept candidate on top.
class TopMatches {
 public:
  explicit TopMatches(uint64_t k) : k_(k) {}

  bool Admits(float score, double created_at, uint64_t ordinal) const {
    if (items_.size() < k_) return true;
    return Ranks(score, created_at, ordinal, items_.front());
  }

  // Only for a candidate that Admits() accepted.
  void Add(float score, double created_at, uint64_t ordinal, const std::string& memory_id) {
    if (items_.size() < k_) {
      items_.push_back(RankedMatch{score, created_at, ordinal, &memory_id});
      if (items_.size() == k_) std::make_heap(items_.begin(), items_.end(), Better);
      return;
    }
    std::pop_heap(items_.begin(), items_.end(), Better);
    items_.back() = RankedMatch{score, created_at, ordinal, &memory_id};
    std::push_heap(items_.begin(), items_.end(), Better);
  }

  std::vector<RankedMatch> Take() { return std::move(items_); }

 private:
  uint64_t k_;
  std::vector<RankedMatch> items_;
};

// The verdict of a query on each of one shard's memory types, worked out
// the first time a type code turns up: a shard holds far fewer types than
// entries, so most entries are judged without reading their memory_type.
class TypeMemo {
 public:
  template <class Compute>
  float Get(std::span<const std::string> types, uint32_t code, Compute&& compute) {
    if (code >= values_.size()) values_.resize(types.size(), kUnknown);
    float& value = values_[code];
    if (value == kUnknown) value = compute(types[code]);
    return value;
  }

 private:
  static constexpr float kUnknown = -1.0f;
  std::vector<float> values_;
};

// Asks for the parts of an entry's record that a scan may read: first the
// record itself, list headers included (which needs no load), then, once
// those have arrived, the lists' first items.
// How many places ahead of the one being read each is asked for.
constexpr size_t kHeadersAhead = 32;
constexpr size_t kListsAhead = 16;

inline void PrefetchHeaders(const StoredEntry& stored) {
  const char* begin = reinterpret_cast<const char*>(&stored);
  const char* end = reinterpret_cast<const char*>(&stored + 1);
  for (const char* p = begin; p < end; p += 64) __builtin_prefetch(p);
  __builtin_prefetch(end - 1);
}

inline void PrefetchLists(const StoredEntry& stored) {
  __builtin_prefetch(stored.keys.data());
}

// Runs fill(shard, top) for every shard on the worker pool, one shard per
// task (`pool` null: all on the calling thread), each adding its shard's
// candidates to a `top` of its own, and returns the memory_ids of the best
// `limit` of them all, ranked.
template <class Fill>
IdRefs RankAcrossShards(tbb::task_arena* pool, size_t shards, uint64_t limit, Fill&& fill) {
  std::vector<std::vector<RankedMatch>> per_shard(shards);
  auto run = [&](const tbb::blocked_range<size_t>& range) {
    for (size_t shard = range.begin(); shard != range.end(); ++shard) {
      TopMatches top(limit);
      fill(shard, top);
      per_shard[shard] = top.Take();
    }
  };
  if (pool != nullptr) {
    pool->execute([&] { tbb::parallel_for(tbb::blocked_range<size_t>(0, shards, 1), run); });
  } else {
    run(tbb::blocked_range<size_t>(0, shards, 1));
  }

  size_t total = 0;
  for (const auto& c : per_shard) total += c.size();
  std::vector<RankedMatch> all;
  all.reserve(total);
  for (auto& c : per_shard) {
    std::move(c.begin(), c.end(), std::back_inserter(all));
    std::vector<RankedMatch>().swap(c);
  }
  if (pool != nullptr) {
    pool->execute([&] { tbb::parallel_sort(all.begin(), all.end(), Better); });
  } else {
    std::sort(all.begin(), all.end(), Better);
  }

  const size_t count = static_cast<size_t>(std::min<uint64_t>(limit, all.size()));
  IdRefs ids(count);
  for (size_t i = 0; i < count; ++i) ids[i] = all[i].memory_id;
  return ids;
}

// Scans every entry, shard by shard (see RankAcrossShards), and returns the
// memory_ids of the best `limit` candidates that `finish` added to its
// shard's `top`, ranked.
//
// Each run of entries is scanned in two passes. `screen(run, i, ordinal,
// top, memo)` judges entry i from its summary alone (memo belongs to the
// shard) and says whether its record must be read. `finish(run, i, ordinal,
// top)` then reads it, for the screened entries in order. The records of
// the entries a few places ahead are prefetched meanwhile, so that their
// cache misses overlap instead of coming one after another. `top` may have
// grown since an entry was screened; finish must ask it again.
template <class Screen, class Finish>
IdRefs CollectRanked(tbb::task_arena* pool, const MetadataStore& store, uint64_t limit,
                     Screen&& screen, Finish&& finish) {
  return RankAcrossShards(pool, store.ShardCount(), limit, [&](size_t shard, TopMatches& top) {
    std::vector<uint32_t> screened;
    TypeMemo memo;
    uint64_t position = 0;
    store.VisitShardRuns(shard, [&](const ShardRun& run) {
      screened.clear();
      for (size_t i = 0; i < run.entries.size(); ++i) {
        if (run.summaries[i].deleted) continue;
        if (screen(run, i, EntryOrdinal(shard, position + i), top, memo)) {
          screened.push_back(static_cast<uint32_t>(i));
        }
      }
      const size_t n = screened.size();
      for (size_t k = 0; k < n; ++k) {
        if (k + kHeadersAhead < n) PrefetchHeaders(run.entries[screened[k + kHeadersAhead]]);
        if (k + kListsAhead < n) PrefetchLists(run.entries[screened[k + kListsAhead]]);
        finish(run, screened[k], EntryOrdinal(shard, position + screened[k]), top);
      }
      position += run.entries.size();
    });
  });
}

inline bool PassesTime(double created_at, const std::optional<double>& after,
                       const std::optional<double>& before) {
  // Written as the failing comparisons, so that NaN on either side fails none.
  if (after && *after > created_at) return false;
  if (before && created_at > *before) return false;
  return true;
}

// Goes through the entry of each identifier of `ids` (which may repeat one)
// once, while `reader` holds the store, in two passes as a scan does:
// screen(stored, summary, ordinal, memo) judges it from its summary alone
// (memo belongs to its shard, types from ShardTypes) without reading its
// record, then finish(stored, summary, ordinal) reads the records of those
// screened in, prefetched a few places ahead.
template <class Screen, class Finish>
void ForEachListedEntry(const MetadataStore::Reader& reader, size_t shards,
                        const std::vector<const std::string*>& ids, Screen&& screen, Finish&& finish) {
  std::vector<TypeMemo> memos(shards);
  // Repeats are found with a bit per slot of the store, or, for a list
  // that much shorter than the store, by sorting it: clearing the bits
  // would cost more than the rest of the search.
  size_t slots = 0;
  for (size_t i = 0; i < shards; ++i) slots += reader.ShardSlots(i);
  const bool few = ids.size() < slots / 1024;
  std::vector<const std::string*> distinct;
  std::vector<std::vector<uint64_t>> seen;
  if (few) {
    distinct = ids;
    std::sort(distinct.begin(), distinct.end(), std::less<const std::string*>());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  } else {
    seen.resize(shards);
    for (size_t i = 0; i < shards; ++i) seen[i].assign((reader.ShardSlots(i) + 63) / 64, 0);
  }
  struct Screened {
    const StoredEntry* stored;
    const EntrySummary* summary;
    uint64_t ordinal;
  };
  std::vector<Screened> screened;
  reader.ForEachId(few ? distinct : ids, [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
    if (!few) {
      uint64_t& word = seen[stored.shard][stored.slot / 64];
      const uint64_t bit = uint64_t{1} << (stored.slot % 64);
      if ((word & bit) != 0) return true;
      word |= bit;
    }
    if (screen(stored, s, ordinal, memos[stored.shard])) screened.push_back({&stored, &s, ordinal});
    return true;
  });
  const size_t n = screened.size();
  for (size_t k = 0; k < n; ++k) {
    if (k + kHeadersAhead < n) PrefetchHeaders(*screened[k + kHeadersAhead].stored);
    if (k + kListsAhead < n) PrefetchLists(*screened[k + kListsAhead].stored);
    finish(*screened[k].stored, *screened[k].summary, screened[k].ordinal);
  }
}

}  // namespace velmar::memory::ranking
