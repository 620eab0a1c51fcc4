#include "memory/search.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "common/worker_pool.hpp"
#include "memory/lowercase.hpp"

namespace velmar::memory {

namespace {

// Either text contains the other (byte-wise; the empty text is contained in
// every text). Only the shorter can sit inside the longer, so one search is
// enough.
bool EitherContains(std::string_view a, std::string_view b) {
  return a.size() >= b.size() ? a.find(b) != std::string_view::npos
                              : b.find(a) != std::string_view::npos;
}

bool AnyEqual(const std::string& value, const std::vector<std::string>& choices) {
  return std::find(choices.begin(), choices.end(), value) != choices.end();
}

// Some pair of an entry term (already lowercase) and a query term (already
// lowercase) matches loosely.
bool AnyLooseMatch(const std::vector<std::string>& entry_terms,
                   const std::vector<std::string>& query_terms) {
  for (const std::string& e : entry_terms) {
    for (const std::string& q : query_terms) {
      if (EitherContains(e, q)) return true;
    }
  }
  return false;
}

std::vector<std::string> Lowered(const std::vector<std::string>& terms) {
  std::vector<std::string> out;
  out.reserve(terms.size());
  for (const std::string& t : terms) out.push_back(ToLower(t));
  return out;
}

// What a search keeps of a matching entry. `ordinal` is its position in the
// snapshot (shard, then place within the shard's table order).
struct Candidate {
  float score = 0;
  double created_at = 0;
  uint64_t ordinal = 0;
  std::string memory_id;
};

uint64_t Ordinal(size_t shard, uint64_t position) {
  return (static_cast<uint64_t>(shard) << 40) | position;
}

// Higher score first, then newer first, then snapshot order. A total order:
// the ordinal is unique, and a NaN time (which conversion never lets into the
// store) ranks after every number rather than breaking the sort.
bool Ranks(float score_a, double time_a, uint64_t ordinal_a, const Candidate& b) {
  if (score_a != b.score) return score_a > b.score;
  const bool nan_a = std::isnan(time_a), nan_b = std::isnan(b.created_at);
  if (nan_a != nan_b) return nan_b;
  if (!nan_a && time_a != b.created_at) return time_a > b.created_at;
  return ordinal_a < b.ordinal;
}

bool Better(const Candidate& a, const Candidate& b) {
  return Ranks(a.score, a.created_at, a.ordinal, b);
}

// The best `k` candidates of one shard. Once full it is a heap with the worst
// kept candidate on top, so an entry that cannot make the cut is rejected
// before its memory_id is copied.
class TopCandidates {
 public:
  explicit TopCandidates(uint64_t k) : k_(k) {}

  bool Admits(float score, double created_at, uint64_t ordinal) const {
    if (items_.size() < k_) return true;
    return Ranks(score, created_at, ordinal, items_.front());
  }

  // Only for a candidate that Admits() accepted.
  void Add(float score, double created_at, uint64_t ordinal, const std::string& memory_id) {
    if (items_.size() < k_) {
      items_.push_back(Candidate{score, created_at, ordinal, memory_id});
      if (items_.size() == k_) std::make_heap(items_.begin(), items_.end(), Better);
      return;
    }
    std::pop_heap(items_.begin(), items_.end(), Better);
    Candidate& slot = items_.back();
    slot.score = score;
    slot.created_at = created_at;
    slot.ordinal = ordinal;
    slot.memory_id.assign(memory_id);
    std::push_heap(items_.begin(), items_.end(), Better);
  }

  std::vector<Candidate> Take() { return std::move(items_); }

 private:
  uint64_t k_;
  std::vector<Candidate> items_;
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

void PrefetchHeaders(const StoredEntry& stored) {
  const char* begin = reinterpret_cast<const char*>(&stored);
  const char* end = reinterpret_cast<const char*>(&stored + 1);
  for (const char* p = begin; p < end; p += 64) __builtin_prefetch(p);
  __builtin_prefetch(end - 1);
}

void PrefetchLists(const StoredEntry& stored) {
  __builtin_prefetch(stored.LowerSubjects().data());
  __builtin_prefetch(stored.LowerObjects().data());
  __builtin_prefetch(stored.LowerKeywords().data());
  __builtin_prefetch(stored.entry.tags.data());
}

// Runs fill(shard, top) for every shard on the worker pool, one shard per
// task (`pool` null: all on the calling thread), each adding its shard's
// candidates to a `top` of its own, and returns the memory_ids of the best
// `limit` of them all, ranked.
template <class Fill>
std::vector<std::string> RankAcrossShards(tbb::task_arena* pool, size_t shards, uint64_t limit,
                                          Fill&& fill) {
  std::vector<std::vector<Candidate>> per_shard(shards);
  auto run = [&](const tbb::blocked_range<size_t>& range) {
    for (size_t shard = range.begin(); shard != range.end(); ++shard) {
      TopCandidates top(limit);
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
  std::vector<Candidate> all;
  all.reserve(total);
  for (auto& c : per_shard) {
    std::move(c.begin(), c.end(), std::back_inserter(all));
    std::vector<Candidate>().swap(c);
  }
  if (pool != nullptr) {
    pool->execute([&] { tbb::parallel_sort(all.begin(), all.end(), Better); });
  } else {
    std::sort(all.begin(), all.end(), Better);
  }

  const size_t count = static_cast<size_t>(std::min<uint64_t>(limit, all.size()));
  std::vector<std::string> ids;
  ids.reserve(count);
  for (size_t i = 0; i < count; ++i) ids.push_back(std::move(all[i].memory_id));
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
std::vector<std::string> CollectRanked(tbb::task_arena* pool, const MetadataStore& store,
                                       uint64_t limit, Screen&& screen, Finish&& finish) {
  return RankAcrossShards(pool, store.ShardCount(), limit, [&](size_t shard, TopCandidates& top) {
    std::vector<uint32_t> screened;
    TypeMemo memo;
    uint64_t position = 0;
    store.VisitShardRuns(shard, [&](const ShardRun& run) {
      screened.clear();
      for (size_t i = 0; i < run.entries.size(); ++i) {
        if (screen(run, i, Ordinal(shard, position + i), top, memo)) {
          screened.push_back(static_cast<uint32_t>(i));
        }
      }
      const size_t n = screened.size();
      for (size_t k = 0; k < n; ++k) {
        if (k + kHeadersAhead < n) PrefetchHeaders(run.entries[screened[k + kHeadersAhead]]);
        if (k + kListsAhead < n) PrefetchLists(run.entries[screened[k + kListsAhead]]);
        finish(run, screened[k], Ordinal(shard, position + screened[k]), top);
      }
      position += run.entries.size();
    });
  });
}

bool PassesTime(double created_at, const std::optional<double>& after,
                const std::optional<double>& before) {
  // Written as the failing comparisons, so that NaN on either side fails none.
  if (after && *after > created_at) return false;
  if (before && created_at > *before) return false;
  return true;
}

// The conditions of a strict query that the entry's summary can decide.
// The user test there is on hashes; PassesStrictRecord confirms it.
bool PassesStrictSummary(const EntrySummary& s, const StrictQuery& q, uint32_t user_hash) {
  if (!PassesTime(s.created_at, q.created_after, q.created_before)) return false;
  if (q.importance_min && s.importance < *q.importance_min) return false;
  if (q.importance_max && s.importance > *q.importance_max) return false;
  if (q.user_id && s.user_hash != user_hash) return false;
  return true;
}

// The rest, on the record of an entry that passed the summary and its type.
bool PassesStrictRecord(const StoredEntry& stored, const StrictQuery& q) {
  const MetadataEntry& e = stored.entry;
  if (q.user_id && e.user_id != *q.user_id) return false;
  if (!q.tags.empty()) {
    bool any = false;
    for (const std::string& tag : e.tags) {
      if (AnyEqual(tag, q.tags)) {
        any = true;
        break;
      }
    }
    if (!any) return false;
  }
  if (!q.subjects.empty() && !AnyLooseMatch(stored.LowerSubjects(), q.subjects)) return false;
  if (!q.keywords.empty() && !AnyLooseMatch(stored.LowerKeywords(), q.keywords)) return false;
  return true;
}

}  // namespace

namespace {

// A strict query's match, ranked by (created_at descending, ordinal).
struct Hit {
  double created_at;
  uint64_t ordinal;
  const std::string* memory_id;
};

bool HitBefore(const Hit& a, const Hit& b) {
  const bool nan_a = std::isnan(a.created_at), nan_b = std::isnan(b.created_at);
  if (nan_a != nan_b) return nan_b;
  if (!nan_a && a.created_at != b.created_at) return a.created_at > b.created_at;
  return a.ordinal < b.ordinal;
}

// The whole strict test of one entry.
bool PassesStrict(const StoredEntry& stored, const EntrySummary& s, const StrictQuery& q,
                  uint32_t user_hash) {
  return PassesStrictSummary(s, q, user_hash) &&
         (q.memory_types.empty() || AnyEqual(stored.entry.memory_type, q.memory_types)) &&
         PassesStrictRecord(stored, q);
}

// The identifiers that could pass the query's most selective condition that
// an index answers (types and tags exactly, subjects and keywords through
// the lowercase forms of the keys), when there are at most `max_ids` of
// them. nullopt when no index narrows the search that far. An identifier
// may appear more than once.
std::optional<std::vector<const std::string*>> Candidates(const MetadataStore& store,
                                                          const StrictQuery& q, size_t max_ids) {
  std::optional<std::vector<const std::string*>> best;
  auto consider = [&](auto&& collect) {
    std::vector<const std::string*> ids;
    const size_t cap = best ? best->size() : max_ids;
    if (collect(cap, &ids) && (!best || ids.size() < best->size())) best = std::move(ids);
  };
  // The empty key is not indexed: entries holding one are listed nowhere,
  // so a condition they may pass cannot be answered from the index.
  auto exact = [&](KeyIndex index, const std::vector<std::string>& keys) {
    if (keys.empty()) return;
    const bool has_empty = std::find(keys.begin(), keys.end(), "") != keys.end();
    if (has_empty && store.EntriesWithEmptyKey(index) > 0) return;
    consider([&](size_t cap, std::vector<const std::string*>* ids) {
      return store.CollectIds(index, keys, cap, ids);
    });
  };
  auto loose = [&](KeyIndex index, const std::vector<std::string>& terms) {
    if (terms.empty() || store.EntriesWithEmptyKey(index) > 0) return;
    consider([&](size_t cap, std::vector<const std::string*>* ids) {
      return store.CollectMatchingIds(
          index,
          [&](std::string_view key) {
            for (const std::string& t : terms) {
              if (EitherContains(key, t)) return true;
            }
            return false;
          },
          cap, ids);
    });
  };
  if (q.user_id) {
    // The user index lists the empty user_id too.
    consider([&](size_t cap, std::vector<const std::string*>* ids) {
      return store.CollectIds(KeyIndex::kUser, {*q.user_id}, cap, ids);
    });
  }
  exact(KeyIndex::kTag, q.tags);
  exact(KeyIndex::kType, q.memory_types);
  loose(KeyIndex::kSubject, q.subjects);
  loose(KeyIndex::kKeyword, q.keywords);
  return best;
}

// Goes through the entry of each identifier of `ids` (which may repeat one)
// once, while `reader` holds the store, in two passes as a scan does:
// screen(stored, summary, ordinal, memo) judges it from its summary alone
// (memo belongs to its shard, types from ShardTypes) without reading its
// record, then finish(stored, summary, ordinal) reads the records of those
// screened in, prefetched a few places ahead.
template <class Screen, class Finish>
void ForEachCandidate(const MetadataStore::Reader& reader, size_t shards,
                      const std::vector<const std::string*>& ids, Screen&& screen, Finish&& finish) {
  std::vector<std::vector<uint64_t>> seen(shards);
  std::vector<TypeMemo> memos(shards);
  for (size_t i = 0; i < shards; ++i) seen[i].assign((reader.ShardSlots(i) + 63) / 64, 0);
  struct Screened {
    const StoredEntry* stored;
    const EntrySummary* summary;
    uint64_t ordinal;
  };
  std::vector<Screened> screened;
  reader.ForEachId(ids, [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
    uint64_t& word = seen[stored.shard][stored.slot / 64];
    const uint64_t bit = uint64_t{1} << (stored.slot % 64);
    if ((word & bit) == 0) {
      word |= bit;
      if (screen(stored, s, ordinal, memos[stored.shard])) screened.push_back({&stored, &s, ordinal});
    }
    return true;
  });
  const size_t n = screened.size();
  for (size_t k = 0; k < n; ++k) {
    if (k + kHeadersAhead < n) PrefetchHeaders(*screened[k + kHeadersAhead].stored);
    if (k + kListsAhead < n) PrefetchLists(*screened[k + kListsAhead].stored);
    finish(*screened[k].stored, *screened[k].summary, screened[k].ordinal);
  }
}

// Strict search through the candidates of an index: each is tested, and
// the best `limit` are ranked.
std::vector<std::string> StrictFromCandidates(const MetadataStore& store, const StrictQuery& q,
                                              uint32_t user_hash,
                                              const std::vector<const std::string*>& ids) {
  MetadataStore::Reader reader(store);
  std::vector<Hit> hits;
  auto type_passes = [&](const std::string& type) {
    return AnyEqual(type, q.memory_types) ? 1.0f : 0.0f;
  };
  ForEachCandidate(
      reader, store.ShardCount(), ids,
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t, TypeMemo& memo) {
        return PassesStrictSummary(s, q, user_hash) &&
               (q.memory_types.empty() ||
                memo.Get(reader.ShardTypes(stored.shard), s.type_code, type_passes) != 0.0f);
      },
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
        if (PassesStrictRecord(stored, q)) {
          hits.push_back(Hit{s.created_at, ordinal, &stored.entry.memory_id});
        }
      });
  const size_t count = static_cast<size_t>(std::min<uint64_t>(q.limit, hits.size()));
  std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(count), hits.end(),
                    HitBefore);
  std::vector<std::string> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.push_back(*hits[i].memory_id);
  return out;
}

// Strict search walking the entries newest first, for at most `budget`
// entries. nullopt when the budget ran out before the answer was complete.
std::optional<std::vector<std::string>> StrictByTime(const MetadataStore& store,
                                                     const StrictQuery& q, uint32_t user_hash,
                                                     size_t budget) {
  MetadataStore::Reader reader(store);
  std::vector<std::string> out;
  size_t visited = 0;
  bool complete = true;
  reader.ForEachByTime(
      q.created_before, q.created_after,
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t) {
        if (++visited > budget) {
          complete = false;
          return false;
        }
        if (PassesStrict(stored, s, q, user_hash)) out.push_back(stored.entry.memory_id);
        return out.size() < q.limit;
      });
  if (!complete) return std::nullopt;
  return out;
}

}  // namespace

std::vector<std::string> SearchStrict(const MetadataStore& store, const StrictQuery& query) {
  if (query.limit == 0) return {};
  StrictQuery lowered = query;
  lowered.subjects = Lowered(query.subjects);
  lowered.keywords = Lowered(query.keywords);
  const uint32_t user_hash = query.user_id ? MetadataStore::UserHash(*query.user_id) : 0;

  // The cheapest of three ways to the same answer. A candidate costs a
  // random read or two where a scan reads a few bytes in order, so the
  // index pays when it narrows to a small share of the entries; walking
  // newest first pays when the first `limit` matches come early; the scan
  // of every summary is the fallback, with a bounded cost.
  const size_t total = store.Size();
  if (auto ids = Candidates(store, lowered, total / 32 + 64)) {
    // Many candidates for a few answers: walking newest first meets the
    // first `limit` of them after about limit * total / candidates
    // entries, when matches spread evenly in time.
    const double c = static_cast<double>(ids->size());
    const double walk = static_cast<double>(query.limit) * static_cast<double>(total) / c;
    if (walk < c / 4) {
      const size_t budget = static_cast<size_t>(4 * walk) + 1024;
      if (auto found = StrictByTime(store, lowered, user_hash, budget)) return std::move(*found);
    }
    return StrictFromCandidates(store, lowered, user_hash, *ids);
  }
  const size_t budget = std::max<size_t>(1024, total / 64);
  if (query.limit <= budget / 2) {
    if (auto found = StrictByTime(store, lowered, user_hash, budget)) return std::move(*found);
  }

  auto type_passes = [&](const std::string& type) {
    return AnyEqual(type, lowered.memory_types) ? 1.0f : 0.0f;
  };
  // Strict search never creates the pool: its size belongs to its first
  // user, and strict search is not one. It uses the pool once it exists.
  return CollectRanked(
      velmar::ExistingWorkerPool(), store, query.limit,
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopCandidates& top, TypeMemo& memo) {
        const EntrySummary& s = run.summaries[i];
        if (!PassesStrictSummary(s, lowered, user_hash)) return false;
        if (!lowered.memory_types.empty() && memo.Get(run.types, s.type_code, type_passes) == 0.0f) {
          return false;
        }
        return top.Admits(0, s.created_at, ordinal);
      },
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopCandidates& top) {
        const StoredEntry& stored = run.entries[i];
        const double created_at = run.summaries[i].created_at;
        if (!PassesStrictRecord(stored, lowered) || !top.Admits(0, created_at, ordinal)) return;
        top.Add(0, created_at, ordinal, stored.entry.memory_id);
      });
}

namespace {

float TypeScore(std::string_view type, const FlexibleQuery& q) {
  for (const std::string& t : q.memory_types) {
    if (type == t) return kTypeExact;
    if (EitherContains(type, t)) return kTypePartial;
  }
  return 0;
}

float TimeBonus(const FlexibleQuery& q) {
  return (q.created_after || q.created_before) ? kTimeBonus : 0.0f;
}

// Whether an entry with this type score could still reach the threshold.
// Rounding is monotonic, so the sum with the largest possible subject and
// object scores bounds the real one from above.
bool CanPass(float type_score, const FlexibleQuery& q) {
  float best = type_score;
  if (!q.subjects.empty()) {
    best += kSubjectExact;
    best += kObjectPartial;
  }
  best += TimeBonus(q);
  return best >= kFlexibleThreshold;
}

// The score of an entry that passed the hard conditions, given its type
// score.
float FinishScore(const StoredEntry& stored, const FlexibleQuery& q, float type_score) {
  float subject_score = 0;
  float object_score = 0;
  if (!q.subjects.empty()) {
    const std::vector<std::string>& subjects = stored.LowerSubjects();
    for (const std::string& qs : q.subjects) {
      for (const std::string& es : subjects) {
        if (es == qs) {
          subject_score = kSubjectExact;
        } else if (EitherContains(es, qs)) {
          subject_score = kSubjectPartial;
        } else {
          continue;
        }
        break;
      }
      if (subject_score != 0) break;
    }
    if (AnyLooseMatch(stored.LowerObjects(), q.subjects)) object_score = kObjectPartial;
  }

  // Summed one term at a time in single precision: 0.5 + 0.6 + 0.8 must come
  // out just below 2.0.
  float score = type_score;
  score += subject_score;
  score += object_score;
  score += TimeBonus(q);
  return score;
}

}  // namespace

std::optional<float> FlexibleScore(const StoredEntry& stored, const FlexibleQuery& q) {
  const MetadataEntry& e = stored.entry;
  if (q.user_id && e.user_id != *q.user_id) return std::nullopt;
  if (!PassesTime(e.created_at, q.created_after, q.created_before)) return std::nullopt;
  return FinishScore(stored, q, TypeScore(e.memory_type, q));
}

namespace {

// The identifiers of every entry that could reach the threshold, as far as
// the type and subject indexes can tell, when there are at most `max_ids`
// of them (an identifier may repeat). Without a time
// window, subjects and objects give at most 1.8, so a type score is needed:
// the entries under a type key that equals, contains or is contained in a
// query type; and as type and objects give at most 1.8 too, a subject score
// is needed as well: the entries under a subject key that matches loosely.
// With a window (1.0), objects alone give 1.8 and a partial subject alone
// 1.6, so an entry needs a type score or a subject score. The empty key is
// not indexed, so an index with entries holding it cannot tell.
std::optional<std::vector<const std::string*>> ScoreCandidates(const MetadataStore& store,
                                                               const FlexibleQuery& q,
                                                               size_t max_ids) {
  auto any_term = [](const std::vector<std::string>& terms) {
    return [&terms](std::string_view key) {
      for (const std::string& t : terms) {
        if (EitherContains(key, t)) return true;
      }
      return false;
    };
  };
  // Entries with a type score, and entries with a subject score.
  auto by_type = [&](size_t cap, std::vector<const std::string*>* ids) {
    return !q.memory_types.empty() && store.EntriesWithEmptyKey(KeyIndex::kType) == 0 &&
           store.CollectMatchingIds(KeyIndex::kType, any_term(q.memory_types), cap, ids,
                                    /*lowercase=*/false);
  };
  auto by_subject = [&](size_t cap, std::vector<const std::string*>* ids) {
    return !q.subjects.empty() && store.EntriesWithEmptyKey(KeyIndex::kSubject) == 0 &&
           store.CollectMatchingIds(KeyIndex::kSubject, any_term(q.subjects), cap, ids);
  };
  std::vector<const std::string*> ids;
  if (!(q.created_after || q.created_before)) {
    // Both scores are needed (type + objects, or subjects + objects, stay
    // below 2.0): either set will do, the smaller the better.
    const bool types = by_type(max_ids, &ids);
    if (!types) ids.clear();
    std::vector<const std::string*> subjects;
    if (by_subject(types ? ids.size() : max_ids, &subjects) && (!types || subjects.size() < ids.size())) {
      return subjects;
    }
    if (types) return ids;
    return std::nullopt;
  }
  // Either score may do: both sets, or the one the query can give.
  if (!q.memory_types.empty() && !by_type(max_ids, &ids)) return std::nullopt;
  if (!q.subjects.empty() && !by_subject(max_ids, &ids)) return std::nullopt;
  return ids;
}

// The smaller of the user's entries (every entry returned is one of
// them) and what the types and subjects allow.
std::optional<std::vector<const std::string*>> FlexibleCandidates(const MetadataStore& store,
                                                                  const FlexibleQuery& q,
                                                                  size_t max_ids) {
  std::optional<std::vector<const std::string*>> best;
  if (q.user_id) {
    std::vector<const std::string*> ids;
    if (store.CollectIds(KeyIndex::kUser, {*q.user_id}, max_ids, &ids)) best = std::move(ids);
  }
  auto scored = ScoreCandidates(store, q, best ? best->size() : max_ids);
  if (scored && (!best || scored->size() < best->size())) best = std::move(scored);
  return best;
}

std::vector<std::string> FlexibleFromCandidates(const MetadataStore& store, const FlexibleQuery& q,
                                                const std::vector<const std::string*>& ids) {
  struct Scored {
    Candidate rank;  // memory_id left empty: copied for the winners only
    const std::string* memory_id;
  };
  MetadataStore::Reader reader(store);
  std::vector<Scored> kept;
  const uint32_t user_hash = q.user_id ? MetadataStore::UserHash(*q.user_id) : 0;
  auto type_score = [&](const std::string& type) { return TypeScore(type, q); };
  ForEachCandidate(
      reader, store.ShardCount(), ids,
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t, TypeMemo& memo) {
        return (!q.user_id || s.user_hash == user_hash) &&
               PassesTime(s.created_at, q.created_after, q.created_before) &&
               CanPass(memo.Get(reader.ShardTypes(stored.shard), s.type_code, type_score), q);
      },
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
        const std::optional<float> score = FlexibleScore(stored, q);
        if (score && *score >= kFlexibleThreshold) {
          kept.push_back(Scored{Candidate{*score, s.created_at, ordinal, {}},
                                &stored.entry.memory_id});
        }
      });
  const size_t count = static_cast<size_t>(std::min<uint64_t>(q.limit, kept.size()));
  std::partial_sort(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(count), kept.end(),
                    [](const Scored& a, const Scored& b) { return Better(a.rank, b.rank); });
  std::vector<std::string> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.push_back(*kept[i].memory_id);
  return out;
}

// Flexible search through the entries of its time window (and of its
// user, when it names one), walked shard by shard in time order. The time
// order carries each entry's user hash, so other users' entries are passed
// over without reading them; the rest are screened on their summary's type
// and then scored, as a scan does.
std::vector<std::string> FlexibleByWindow(tbb::task_arena* pool, const MetadataStore& store,
                                          const FlexibleQuery& q) {
  constexpr size_t kSummaryAhead = 8;
  MetadataStore::Reader reader(store);
  std::optional<uint32_t> user_hash;
  if (q.user_id) user_hash = MetadataStore::UserHash(*q.user_id);
  auto type_score = [&](const std::string& type) { return TypeScore(type, q); };
  return RankAcrossShards(pool, store.ShardCount(), q.limit, [&](size_t shard, TopCandidates& top) {
    std::vector<uint32_t> slots;
    reader.WindowSlots(shard, q.created_before, q.created_after, user_hash, &slots);
    // Screened on their summary's type first. Without query types every
    // entry has the same type score, which SearchFlexible has found can pass.
    if (!q.memory_types.empty()) {
      TypeMemo memo;
      const std::span<const std::string> types = reader.ShardTypes(shard);
      size_t kept = 0;
      for (size_t k = 0; k < slots.size(); ++k) {
        if (k + kSummaryAhead < slots.size()) {
          __builtin_prefetch(&reader.Summary(shard, slots[k + kSummaryAhead]));
        }
        const uint32_t code = reader.Summary(shard, slots[k]).type_code;
        if (CanPass(memo.Get(types, code, type_score), q)) slots[kept++] = slots[k];
      }
      slots.resize(kept);
    }
    const size_t n = slots.size();
    for (size_t k = 0; k < n; ++k) {
      if (k + kHeadersAhead < n) PrefetchHeaders(reader.Entry(shard, slots[k + kHeadersAhead]));
      if (k + kListsAhead < n) PrefetchLists(reader.Entry(shard, slots[k + kListsAhead]));
      const StoredEntry& stored = reader.Entry(shard, slots[k]);
      const std::optional<float> score = FlexibleScore(stored, q);
      if (!score || *score < kFlexibleThreshold) continue;
      const uint64_t ordinal = Ordinal(shard, slots[k]);
      if (top.Admits(*score, stored.entry.created_at, ordinal)) {
        top.Add(*score, stored.entry.created_at, ordinal, stored.entry.memory_id);
      }
    }
  });
}

}  // namespace

std::vector<std::string> SearchFlexible(const MetadataStore& store, const FlexibleQuery& query) {
  // Flexible search is one of the pool's users: the pool is made (with its
  // default size) even by a query that returns before any parallel work.
  tbb::task_arena& pool = velmar::WorkerPool();
  if (query.limit == 0) return {};
  FlexibleQuery lowered = query;
  lowered.subjects = Lowered(query.subjects);

  // Below the threshold even with an exact type, nothing can pass.
  if (!CanPass(query.memory_types.empty() ? 0.0f : kTypeExact, lowered)) return {};

  const size_t total = store.Size();
  if (auto ids = FlexibleCandidates(store, lowered, total / 32 + 64)) {
    return FlexibleFromCandidates(store, lowered, *ids);
  }
  // A time window narrows too: its entries are found in the time order,
  // and a user's among them without reading the others. Without a user,
  // each entry of the window is a random read where the scan reads in
  // order, so the window must be far smaller than the store.
  if (query.created_after || query.created_before) {
    const size_t window = MetadataStore::Reader(store).WindowSize(query.created_before,
                                                                  query.created_after);
    if (window <= (query.user_id ? total / 2 : total / 16)) {
      return FlexibleByWindow(&pool, store, lowered);
    }
  }

  const uint32_t user_hash = query.user_id ? MetadataStore::UserHash(*query.user_id) : 0;
  auto type_score = [&](const std::string& type) { return TypeScore(type, lowered); };
  return CollectRanked(
      &pool, store, query.limit,
      [&](const ShardRun& run, size_t i, uint64_t, TopCandidates&, TypeMemo& memo) {
        const EntrySummary& s = run.summaries[i];
        if (lowered.user_id && s.user_hash != user_hash) return false;
        if (!PassesTime(s.created_at, lowered.created_after, lowered.created_before)) {
          return false;
        }
        // Most entries stop here, before their record is read.
        return CanPass(memo.Get(run.types, s.type_code, type_score), lowered);
      },
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopCandidates& top) {
        const StoredEntry& stored = run.entries[i];
        if (lowered.user_id && stored.entry.user_id != *lowered.user_id) return;
        const float score = FinishScore(stored, lowered, TypeScore(stored.entry.memory_type, lowered));
        if (score < kFlexibleThreshold) return;
        const double created_at = run.summaries[i].created_at;
        if (top.Admits(score, created_at, ordinal)) {
          top.Add(score, created_at, ordinal, stored.entry.memory_id);
        }
      });
}

}  // namespace velmar::memory
