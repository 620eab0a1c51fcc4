#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "memory/store/entry_shard.hpp"
#include "memory/store/metadata_store.hpp"
#include "memory/store/secondary_index.hpp"
#include "memory/store/sharded_map.hpp"

// What a MetadataStore holds, shared by the files that implement it.

namespace velmar::memory {

// Which of an entry's keys are the empty text, by KeyIndex.
using EmptyKeys = std::array<bool, 4>;

inline EmptyKeys EmptyKeysOf(const StoredEntry& e) {
  auto any_empty = [](TextSpan keys) {
    return std::any_of(keys.begin(), keys.end(), [](const PooledText* k) { return k->text.empty(); });
  };
  return {e.MemoryType().empty(), any_empty(e.Subjects()), any_empty(e.Keywords()),
          any_empty(e.Tags())};
}

struct MetadataStore::Impl {
  Impl() : seed{NewHashSeed()}, shard_count(ProcessShardCount()) {
    entry_shards = std::make_unique<EntryShard[]>(shard_count);
    for (size_t i = 0; i < shard_count; ++i) entry_shards[i].index = static_cast<uint32_t>(i);
  }

  // Numbers inserts apart (see PrepareKey); 0 is no insert.
  std::atomic<uint64_t> next_insert{1};

  // Entries holding an empty key, by KeyIndex (see EntriesWithEmptyKey).
  std::atomic<int64_t> empty_keys[4] = {0, 0, 0, 0};

  void CountEmptyKeys(const EmptyKeys& keys, int64_t step) {
    for (size_t i = 0; i < 4; ++i) {
      if (keys[i]) empty_keys[i].fetch_add(step, std::memory_order_relaxed);
    }
  }

  const IndexMap& Index(KeyIndex which) const {
    switch (which) {
      case KeyIndex::kType: return type_index;
      case KeyIndex::kSubject: return subject_index;
      case KeyIndex::kKeyword: return keyword_index;
      case KeyIndex::kTag:
      case KeyIndex::kUser:  // kept by the entry shards (see CollectIds)
        break;
    }
    return tag_index;
  }

  SeededStringHash seed;
  size_t shard_count;
  // Declared before the entries, which point into it.
  TextPool pool;
  std::unique_ptr<EntryShard[]> entry_shards;
  IndexMap type_index;
  IndexMap subject_index;
  IndexMap keyword_index;
  IndexMap tag_index;

  // Calls fn(index, order, key) for each non-empty key of `e`, index by
  // index in the order of IndexShardLocks (the empty key is never indexed).
  template <class Fn>
  void ForEachKey(const StoredEntry& e, Fn&& fn) {
    if (!e.MemoryType().empty()) fn(type_index, 0, e.MemoryType());
    for (const PooledText* key : e.Subjects()) {
      if (!key->text.empty()) fn(subject_index, 1, key->text);
    }
    for (const PooledText* key : e.Keywords()) {
      if (!key->text.empty()) fn(keyword_index, 2, key->text);
    }
    for (const PooledText* key : e.Tags()) {
      if (!key->text.empty()) fn(tag_index, 3, key->text);
    }
  }

  // Insert once the identifier's entry_map shard is write-locked.
  //
  // Every index shard that the new entry's keys, or the replaced entry's,
  // fall in is write-locked for the whole insert. Strong guarantee: all
  // that may allocate (new keys in the indexes, room in their lists, a
  // slot, the summary) is made ready first, changing nothing a reader can
  // see; a failure there undoes the keys it made and rethrows. What follows
  // allocates nothing.
  void InsertLocked(EntryShard& shard, StoredEntry&& stored, uint64_t hash);

  // Takes every lock of the store, in the one order: the entry_map shards,
  // then the shards of the type, subject, keyword and tag indexes. May
  // throw before it has taken any.
  std::vector<std::unique_lock<std::shared_mutex>> LockEverything();

  // BulkLoad into an empty store once every lock is held (see BulkLoad).
  // Returns the memory_ids that occurred more than once, each once, sorted.
  std::vector<std::string> LoadLocked(StoredPieces&& pieces);

  // Insert of an entry made with `pool`.
  void Insert(StoredEntry&& stored);
};

}  // namespace velmar::memory
