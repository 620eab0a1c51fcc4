#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

// The memory_ids a search returns, as pointers to the store's own strings:
// a stored memory_id never moves and outlives a deletion of its entry, for
// as long as the store lives, so a caller reads them after the search
// without copying each one first.
using IdRefs = std::vector<const std::string*>;

// Copies of the identifiers.
inline std::vector<std::string> IdTexts(const IdRefs& refs) {
  std::vector<std::string> out;
  out.reserve(refs.size());
  for (const std::string* id : refs) out.push_back(*id);
  return out;
}

// How many identifiers a search returns when its query sets no limit.
inline constexpr uint64_t kDefaultLimit = 100;

// A filter query. An empty list means "no condition"; the searches map
// subjects and keywords to lowercase themselves.
struct StrictQuery {
  std::optional<std::string> user_id;
  std::vector<std::string> memory_types;
  std::vector<std::string> subjects;
  std::vector<std::string> keywords;
  std::vector<std::string> tags;
  std::optional<uint8_t> importance_min;
  std::optional<uint8_t> importance_max;
  std::optional<double> created_after;
  std::optional<double> created_before;
  uint64_t limit = kDefaultLimit;
};

// The memory_ids of the entries passing every condition, newest first; among
// equal created_at, in snapshot order (entry_map shards in order, table order
// within a shard). At most `limit` of them.
IdRefs SearchStrict(const MetadataStore& store, const StrictQuery& query);

// Deletes every entry that SearchStrict(query) returns with no limit (the
// query's limit is ignored), as one MetadataStore::Delete: each is tested
// again under the store's locks. Returns the number deleted. The caller
// makes sure the query has a condition: an empty one deletes everything.
size_t DeleteMatching(MetadataStore& store, StrictQuery query);

// A scored query: user_id and the time window are hard conditions, types and
// subjects (against subjects and objects) add to a score, a given time bound
// adds a bonus.
struct FlexibleQuery {
  std::optional<std::string> user_id;
  std::vector<std::string> memory_types;
  std::vector<std::string> subjects;
  std::optional<double> created_after;
  std::optional<double> created_before;
  uint64_t limit = kDefaultLimit;
};

// Score constants; the score is summed in single precision.
inline constexpr float kTypeExact = 1.0f;
inline constexpr float kTypePartial = 0.5f;
inline constexpr float kSubjectExact = 1.0f;
inline constexpr float kSubjectPartial = 0.6f;
inline constexpr float kObjectPartial = 0.8f;
inline constexpr float kTimeBonus = 1.0f;
inline constexpr float kFlexibleThreshold = 2.0f;

// The score of one entry against a query whose subjects are already
// lowercase, or nullopt when a hard condition drops it.
std::optional<float> FlexibleScore(const StoredEntry& stored, const FlexibleQuery& lowered_query);

// The memory_ids of the entries scoring at least 2.0, by score descending,
// then created_at descending, at most `limit` of them. Scored and sorted on
// the worker pool.
IdRefs SearchFlexible(const MetadataStore& store, const FlexibleQuery& query);

}  // namespace velmar::memory
