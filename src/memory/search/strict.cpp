#include <algorithm>
#include <cstdint>
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

namespace {

using namespace ranking;  // NOLINT(build/namespaces): this file's own toolkit


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
  if (q.user_id && stored.UserId() != *q.user_id) return false;
  if (!q.tags.empty()) {
    bool any = false;
    for (const PooledText* tag : stored.Tags()) {
      if (AnyEqual(tag->text, q.tags)) {
        any = true;
        break;
      }
    }
    if (!any) return false;
  }
  if (!q.subjects.empty() && !AnyLooseMatch(stored.Subjects(), q.subjects)) return false;
  if (!q.keywords.empty() && !AnyLooseMatch(stored.Keywords(), q.keywords)) return false;
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
         (q.memory_types.empty() || AnyEqual(stored.MemoryType(), q.memory_types)) &&
         PassesStrictRecord(stored, q);
}

// The identifiers that could pass the query's most selective condition that
// an index answers (types and tags exactly, subjects and keywords through
// the lowercase forms of the keys), when there are at most `max_ids` of
// them. nullopt when no index narrows the search that far. An identifier
// may appear more than once.
std::optional<std::vector<const std::string*>> IdsFromIndex(const MetadataStore& store,
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



// Strict search through the candidates of an index: each is tested, and
// the best `limit` are ranked.
IdRefs StrictFromIds(const MetadataStore& store, const StrictQuery& q, uint32_t user_hash,
                     const std::vector<const std::string*>& ids) {
  MetadataStore::Reader reader(store);
  std::vector<Hit> hits;
  auto type_passes = [&](const std::string& type) {
    return AnyEqual(type, q.memory_types) ? 1.0f : 0.0f;
  };
  ForEachListedEntry(
      reader, store.ShardCount(), ids,
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t, TypeMemo& memo) {
        return PassesStrictSummary(s, q, user_hash) &&
               (q.memory_types.empty() ||
                memo.Get(reader.ShardTypes(stored.shard), s.type_code, type_passes) != 0.0f);
      },
      [&](const StoredEntry& stored, const EntrySummary& s, uint64_t ordinal) {
        if (PassesStrictRecord(stored, q)) {
          hits.push_back(Hit{s.created_at, ordinal, &stored.memory_id});
        }
      });
  return FirstIds(hits, q.limit, HitBefore);
}

// The first `limit` entries passing the query in the order walk(fn) hands
// them to fn, as long as it hands over at most `budget`; nullopt when the
// budget ran out before the answer was complete.
template <class Walk>
std::optional<IdRefs> StrictWalk(const StrictQuery& q, uint32_t user_hash, size_t budget,
                                 Walk&& walk) {
  IdRefs out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(q.limit, 1024)));
  size_t visited = 0;
  bool complete = true;
  walk([&](const StoredEntry& stored, const EntrySummary& s, uint64_t) {
    if (++visited > budget) {
      complete = false;
      return false;
    }
    if (PassesStrict(stored, s, q, user_hash)) out.push_back(&stored.memory_id);
    return out.size() < q.limit;
  });
  if (!complete) return std::nullopt;
  return out;
}

// Strict search walking every entry newest first.
std::optional<IdRefs> StrictByTime(const MetadataStore& store, const StrictQuery& q,
                                   uint32_t user_hash, size_t budget) {
  MetadataStore::Reader reader(store);
  return StrictWalk(q, user_hash, budget, [&](const MetadataStore::EntryFn& fn) {
    reader.ForEachByTime(q.created_before, q.created_after, fn);
  });
}

// Strict search walking the user's entries (of the query's types, when it
// has some) newest first.
std::optional<IdRefs> StrictByUser(const MetadataStore& store, const StrictQuery& q,
                                   uint32_t user_hash, size_t budget) {
  MetadataStore::Reader reader(store);
  return StrictWalk(q, user_hash, budget, [&](const MetadataStore::EntryFn& fn) {
    reader.ForEachOfUserByTime(*q.user_id, q.memory_types, q.created_before, q.created_after, fn);
  });
}

}  // namespace

IdRefs SearchStrict(const MetadataStore& store, const StrictQuery& query) {
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
  size_t user_budget = 0;
  if (lowered.user_id) {
    // The user's entries of the query's types come newest first: the walk
    // ends at the limit-th match, whatever the user's share of the store.
    // When tags, subjects or keywords must match too, matches may be rare
    // among them; an index may then narrow further, so the walk is bounded.
    const bool terms = !lowered.tags.empty() || !lowered.subjects.empty() || !lowered.keywords.empty();
    user_budget =
        terms ? std::max<size_t>(2048, static_cast<size_t>(std::min<uint64_t>(query.limit, total)) * 16)
              : SIZE_MAX;
    if (auto found = StrictByUser(store, lowered, user_hash, user_budget)) return std::move(*found);
  }
  if (auto ids = IdsFromIndex(store, lowered, total / 32 + 64)) {
    // Many candidates for a few answers: walking newest first meets the
    // first `limit` of them after about limit * total / candidates
    // entries, when matches spread evenly in time.
    const double c = static_cast<double>(ids->size());
    const double walk = static_cast<double>(query.limit) * static_cast<double>(total) / c;
    if (walk < c / 4) {
      const size_t budget = static_cast<size_t>(4 * walk) + 1024;
      if (auto found = StrictByTime(store, lowered, user_hash, budget)) return std::move(*found);
    }
    return StrictFromIds(store, lowered, user_hash, *ids);
  }
  // No index narrows far enough. A user's walk, given more room, still
  // costs less than going through every entry: its steps are dearer than
  // a scan's, but a thirty-second of them. (A walk without a budget has
  // answered above.)
  if (lowered.user_id) {
    const size_t budget = std::max(total / 32, 4 * user_budget);
    if (auto found = StrictByUser(store, lowered, user_hash, budget)) return std::move(*found);
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
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopMatches& top, TypeMemo& memo) {
        const EntrySummary& s = run.summaries[i];
        if (!PassesStrictSummary(s, lowered, user_hash)) return false;
        if (!lowered.memory_types.empty() && memo.Get(run.types, s.type_code, type_passes) == 0.0f) {
          return false;
        }
        return top.Admits(0, s.created_at, ordinal);
      },
      [&](const ShardRun& run, size_t i, uint64_t ordinal, TopMatches& top) {
        const StoredEntry& stored = run.entries[i];
        const double created_at = run.summaries[i].created_at;
        if (!PassesStrictRecord(stored, lowered) || !top.Admits(0, created_at, ordinal)) return;
        top.Add(0, created_at, ordinal, stored.memory_id);
      });
}

namespace {

// Whether some entry term that is not empty matches some query term loosely.
// An empty entry term is contained in every query term, so a deletion would
// take it as a match for any subject at all.
bool AnyLooseMatchOfText(TextSpan entry_terms, const std::vector<std::string>& query_terms) {
  for (const PooledText* e : entry_terms) {
    if (e->text.empty()) continue;
    for (const std::string& q : query_terms) {
      if (EitherContains(e->Lower(), q)) return true;
    }
  }
  return false;
}

}  // namespace

size_t DeleteMatching(MetadataStore& store, StrictQuery query) {
  // An empty text says nothing as a condition (it is contained in every
  // text), so deletion leaves empty query terms out; a list made only of
  // them matches nothing, rather than dropping its condition.
  for (std::vector<std::string>* terms :
       {&query.memory_types, &query.subjects, &query.keywords, &query.tags}) {
    if (terms->empty()) continue;
    std::erase(*terms, std::string());
    if (terms->empty()) return 0;
  }
  query.limit = UINT64_MAX;
  const std::vector<std::string> ids = IdTexts(SearchStrict(store, query));
  if (ids.empty()) return 0;
  // Tested again once the store is locked for the deletion: an entry
  // replaced meanwhile by one that no longer matches stays.
  StrictQuery lowered = std::move(query);
  lowered.subjects = Lowered(lowered.subjects);
  lowered.keywords = Lowered(lowered.keywords);
  const uint32_t user_hash = lowered.user_id ? MetadataStore::UserHash(*lowered.user_id) : 0;
  return store.Delete(ids, [&](const StoredEntry& stored, const EntrySummary& s) {
    return PassesStrict(stored, s, lowered, user_hash) &&
           (lowered.subjects.empty() || AnyLooseMatchOfText(stored.Subjects(), lowered.subjects)) &&
           (lowered.keywords.empty() || AnyLooseMatchOfText(stored.Keywords(), lowered.keywords));
  });
}

}  // namespace velmar::memory
