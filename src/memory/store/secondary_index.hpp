#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "memory/store/id_list.hpp"
#include "memory/store/sharded_map.hpp"
#include "memory/store/stored_entry.hpp"

namespace velmar::memory {

// What a secondary index keeps under one key: its identifier list, and the
// key's lowercase form for loose matching (empty when the key is its own).
struct IndexedKey {
  IdList ids;
  std::string lower;
  // The last insert that made room here, so that one entry repeating the
  // key makes room once.
  uint64_t last_insert = 0;
};
using IndexMap = ShardedMap<IndexedKey>;

// The entry of a key new to an index: an empty list and the key's
// lowercase form.
IndexedKey NewIndexedKey(std::string_view key);

// The lowercase form of an index key.
std::string_view LowerKey(const std::string& key, const IndexedKey& value);

// Calls fn(const PooledText*) for each distinct key of `keys`, in order of
// first occurrence: a key repeated within one entry is listed once. Pooled
// texts are equal exactly when their addresses are.
template <class Fn>
void ForEachDistinct(TextSpan keys, Fn&& fn) {
  if (keys.size() <= 16) {
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto before = keys.begin() + static_cast<std::ptrdiff_t>(i);
      if (std::find(keys.begin(), before, keys[i]) == before) fn(keys[i]);
    }
    return;
  }
  std::unordered_set<const PooledText*> seen;
  seen.reserve(keys.size());
  for (const PooledText* key : keys) {
    if (seen.insert(key).second) fn(key);
  }
}

// A list that an insert has made room in.
struct PreparedList {
  IndexMap::Table* table;
  std::string_view key;  // the inserted entry's own text
  IndexedKey* value;     // node values never move: reached again without a lookup
  bool created;          // the insert added the key
};

// With the key's shard write-locked: makes `key` present in `index` with
// room for one more identifier, and notes it in *prepared. `insert` tells
// inserts apart: a key the entry repeats is prepared once.
void PrepareKey(IndexMap& index, std::string_view key, uint64_t insert,
                std::vector<PreparedList>* prepared);

// With the key's shard write-locked: gives up a prepared list, taking away
// a key the insert added.
void DropPrepared(const PreparedList& list) noexcept;

// With the key's shard write-locked: takes `id` off the list under `key`;
// an emptied list stays in place and a missing key is passed over.
void IndexRemove(IndexMap& index, std::string_view key, IdList::Id id);

// A copy of the identifier list under `key` (empty when the key is
// missing), taken under the shard's read lock.
std::vector<std::string> IdsOf(const IndexMap& index, std::string_view key);

}  // namespace velmar::memory
