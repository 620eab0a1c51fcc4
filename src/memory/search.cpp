#include "memory/search.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <span>
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

// Runs `visit(entry, ordinal, top)` over every entry on the worker pool, one
// shard per task, and returns the memory_ids of the best `limit` candidates
// that the visitor added to its shard's `top`, ranked.
template <class Visit>
std::vector<std::string> CollectRanked(const MetadataStore& store, uint64_t limit, Visit&& visit) {
  const size_t shards = store.ShardCount();
  std::vector<std::vector<Candidate>> per_shard(shards);
  velmar::WorkerPool().execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, shards, 1),
                      [&](const tbb::blocked_range<size_t>& range) {
                        for (size_t shard = range.begin(); shard != range.end(); ++shard) {
                          TopCandidates top(limit);
                          uint64_t position = 0;
                          store.VisitShardSpans(shard, [&](std::span<const StoredEntry> run) {
                            for (const StoredEntry& stored : run) {
                              visit(stored, Ordinal(shard, position++), top);
                            }
                          });
                          per_shard[shard] = top.Take();
                        }
                      });
  });

  size_t total = 0;
  for (const auto& c : per_shard) total += c.size();
  std::vector<Candidate> all;
  all.reserve(total);
  for (auto& c : per_shard) {
    std::move(c.begin(), c.end(), std::back_inserter(all));
    std::vector<Candidate>().swap(c);
  }
  velmar::WorkerPool().execute([&] { tbb::parallel_sort(all.begin(), all.end(), Better); });

  const size_t count = static_cast<size_t>(std::min<uint64_t>(limit, all.size()));
  std::vector<std::string> ids;
  ids.reserve(count);
  for (size_t i = 0; i < count; ++i) ids.push_back(std::move(all[i].memory_id));
  return ids;
}

bool PassesTime(double created_at, const std::optional<double>& after,
                const std::optional<double>& before) {
  // Written as the failing comparisons, so that NaN on either side fails none.
  if (after && *after > created_at) return false;
  if (before && created_at > *before) return false;
  return true;
}

bool PassesStrict(const StoredEntry& stored, const StrictQuery& q) {
  const MetadataEntry& e = stored.entry;
  if (!PassesTime(e.created_at, q.created_after, q.created_before)) return false;
  if (q.importance_min && e.importance < *q.importance_min) return false;
  if (q.importance_max && e.importance > *q.importance_max) return false;
  if (q.user_id && e.user_id != *q.user_id) return false;
  if (!q.memory_types.empty() && !AnyEqual(e.memory_type, q.memory_types)) return false;
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

std::vector<std::string> SearchStrict(const MetadataStore& store, const StrictQuery& query) {
  if (query.limit == 0) return {};
  StrictQuery lowered = query;
  lowered.subjects = Lowered(query.subjects);
  lowered.keywords = Lowered(query.keywords);
  return CollectRanked(store, query.limit,
                       [&](const StoredEntry& stored, uint64_t ordinal, TopCandidates& top) {
                         if (!PassesStrict(stored, lowered)) return;
                         const MetadataEntry& e = stored.entry;
                         if (top.Admits(0, e.created_at, ordinal)) {
                           top.Add(0, e.created_at, ordinal, e.memory_id);
                         }
                       });
}

namespace {

// The score, or nullopt when a hard condition drops the entry. With
// `only_passing`, also nullopt as soon as the entry cannot reach the
// threshold any more, which spares most entries the subject and object
// walks (and the memory those lists live in).
std::optional<float> Score(const StoredEntry& stored, const FlexibleQuery& q, bool only_passing) {
  const MetadataEntry& e = stored.entry;
  if (q.user_id && e.user_id != *q.user_id) return std::nullopt;
  if (!PassesTime(e.created_at, q.created_after, q.created_before)) return std::nullopt;

  float type_score = 0;
  for (const std::string& t : q.memory_types) {
    if (e.memory_type == t) {
      type_score = kTypeExact;
      break;
    }
    if (EitherContains(e.memory_type, t)) {
      type_score = kTypePartial;
      break;
    }
  }

  const float time_bonus = (q.created_after || q.created_before) ? kTimeBonus : 0.0f;
  if (only_passing) {
    // Rounding is monotonic, so the sum with the largest possible subject and
    // object scores bounds the real one from above.
    float best = type_score;
    if (!q.subjects.empty()) {
      best += kSubjectExact;
      best += kObjectPartial;
    }
    best += time_bonus;
    if (best < kFlexibleThreshold) return std::nullopt;
  }

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
  score += time_bonus;
  return score;
}

}  // namespace

std::optional<float> FlexibleScore(const StoredEntry& stored, const FlexibleQuery& q) {
  return Score(stored, q, /*only_passing=*/false);
}

std::vector<std::string> SearchFlexible(const MetadataStore& store, const FlexibleQuery& query) {
  if (query.limit == 0) return {};
  FlexibleQuery lowered = query;
  lowered.subjects = Lowered(query.subjects);

  // The best any entry could score; below the threshold nothing can pass.
  float best = query.memory_types.empty() ? 0.0f : kTypeExact;
  if (!lowered.subjects.empty()) {
    best += kSubjectExact;
    best += kObjectPartial;
  }
  if (query.created_after || query.created_before) best += kTimeBonus;
  if (best < kFlexibleThreshold) return {};

  return CollectRanked(store, query.limit,
                       [&](const StoredEntry& stored, uint64_t ordinal, TopCandidates& top) {
                         std::optional<float> score = Score(stored, lowered, true);
                         if (!score || *score < kFlexibleThreshold) return;
                         const MetadataEntry& e = stored.entry;
                         if (top.Admits(*score, e.created_at, ordinal)) {
                           top.Add(*score, e.created_at, ordinal, e.memory_id);
                         }
                       });
}

}  // namespace velmar::memory
