#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/worker_pool.hpp"
#include "memory/search.hpp"
#include "memory/search/ranking.hpp"

namespace velmar::memory {

using namespace ranking;  // NOLINT(build/namespaces): this file's own toolkit

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
    const TextSpan subjects = stored.Subjects();
    for (const std::string& qs : q.subjects) {
      for (const PooledText* text : subjects) {
        const std::string_view es = text->Lower();
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
    if (AnyLooseMatch(stored.Objects(), q.subjects)) object_score = kObjectPartial;
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
  if (q.user_id && stored.UserId() != *q.user_id) return std::nullopt;
  if (!PassesTime(stored.created_at, q.created_after, q.created_before)) return std::nullopt;
  return FinishScore(stored, q, TypeScore(stored.MemoryType(), q));
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
std::optional<std::vector<const std::string*>> ScoringIdsFromIndex(const MetadataStore& store,
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
std::optional<std::vector<const std::string*>> FlexibleIdsFromIndex(const MetadataStore& store,
                                                                  const FlexibleQuery& q,
                                                                  size_t max_ids) {
  std::optional<std::vector<const std::string*>> best;
  if (q.user_id) {
    std::vector<const std::string*> ids;
    if (store.CollectIds(KeyIndex::kUser, {*q.user_id}, max_ids, &ids)) best = std::move(ids);
  }
  if (best) {
    // Narrowing further scans every key of the type or subject index with
    // a loose test, each about as costly as reading a few candidates: a
    // user with few entries is cheaper to test whole.
    const MetadataStore::KeyCounts keys = store.CountKeys();
    const size_t scanned = (q.memory_types.empty() ? 0 : keys.types) +
                           (q.subjects.empty() ? 0 : keys.subjects);
    if (4 * best->size() <= scanned) return best;
  }
  auto scored = ScoringIdsFromIndex(store, q, best ? best->size() : max_ids);
  if (scored && (!best || scored->size() < best->size())) best = std::move(scored);
  return best;
}

IdRefs FlexibleFromIds(const MetadataStore& store, const FlexibleQuery& q,
                       const std::vector<const std::string*>& ids) {
  MetadataStore::Reader reader(store);
  std::vector<RankedMatch> kept;
  const uint32_t user_hash = q.user_id ? MetadataStore::UserHash(*q.user_id) : 0;
  auto type_score = [&](const std::string& type) { return TypeScore(type, q); };
  ForEachListedEntry(
      reader, store.ShardCount(), ids,
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t, TypeMemo& memo) {
        return (!q.user_id || s.user_hash == user_hash) &&
               PassesTime(s.created_at, q.created_after, q.created_before) &&
               CanPass(memo.Get(reader.ShardTypes(stored.shard), s.type_code, type_score), q);
      },
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
        const std::optional<float> score = FlexibleScore(stored, q);
        if (score && *score >= kFlexibleThreshold) {
          kept.push_back(RankedMatch{*score, s.created_at, ordinal, &stored.memory_id});
        }
      });
  return FirstIds(kept, q.limit, Better);
}

// Flexible search through the entries of its time window (and of its
// user, when it names one), walked shard by shard in time order. The time
// order carries each entry's user hash, so other users' entries are passed
// over without reading them; the rest are screened on their summary's type
// and then scored, as a scan does.
IdRefs FlexibleByWindow(tbb::task_arena* pool, const MetadataStore& store, const FlexibleQuery& q) {
  constexpr size_t kSummaryAhead = 8;
  MetadataStore::Reader reader(store);
  std::optional<uint32_t> user_hash;
  if (q.user_id) user_hash = MetadataStore::UserHash(*q.user_id);
  auto type_score = [&](const std::string& type) { return TypeScore(type, q); };
  return RankAcrossShards(pool, store.ShardCount(), q.limit, [&](size_t shard, TopMatches& top) {
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
      const uint64_t ordinal = EntryOrdinal(shard, slots[k]);
      if (top.Admits(*score, stored.created_at, ordinal)) {
        top.Add(*score, stored.created_at, ordinal, stored.memory_id);
      }
    }
  });
}

}  // namespace

IdRefs SearchFlexible(const MetadataStore& store, const FlexibleQuery& query) {
  // Flexible search is one of the pool's users: the pool is made (with its
  // default size) even by a query that returns before any parallel work.
  tbb::task_arena& pool = velmar::WorkerPool();
  if (query.limit == 0) return {};
  FlexibleQuery lowered = query;
  lowered.subjects = Lowered(query.subjects);

  // Below the threshold even with an exact type, nothing can pass.
  if (!CanPass(query.memory_types.empty() ? 0.0f : kTypeExact, lowered)) return {};

  const size_t total = store.Size();
  if (auto ids = FlexibleIdsFromIndex(store, lowered, total / 32 + 64)) {
    return FlexibleFromIds(store, lowered, *ids);
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
      [&](const ShardRun& run, size_t i, uint64_t, TopMatches&, TypeMemo& memo) {
        const EntrySummary& s = run.summaries[i];
        if (lowered.user_id && s.user_hash != user_hash) return false;
        if (!PassesTime(s.created_at, lowered.created_after, lowered.created_before)) {
          return false;
        }
        // Most entries stop here, before their record is read.
        return CanPass(memo.Get(run.types, s.type_code, type_score), lowered);
      },
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopMatches& top) {
        const StoredEntry& stored = run.entries[i];
        if (lowered.user_id && stored.UserId() != *lowered.user_id) return;
        const float score = FinishScore(stored, lowered, TypeScore(stored.MemoryType(), lowered));
        if (score < kFlexibleThreshold) return;
        const double created_at = run.summaries[i].created_at;
        if (top.Admits(score, created_at, ordinal)) {
          top.Add(score, created_at, ordinal, stored.memory_id);
        }
      });
}

}  // namespace velmar::memory
