#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "memory/store/store_impl.hpp"

namespace velmar::memory {

std::vector<std::unique_lock<std::shared_mutex>> MetadataStore::Impl::LockEverything() {
  std::vector<std::unique_lock<std::shared_mutex>> locks;
  locks.reserve(5 * shard_count);  // the only allocation: before any lock
  for (size_t i = 0; i < shard_count; ++i) locks.emplace_back(entry_shards[i].mutex);
  for (IndexMap* index : {&type_index, &subject_index, &keyword_index, &tag_index}) {
    for (size_t i = 0; i < index->ShardCount(); ++i) locks.emplace_back(index->ShardAt(i).mutex);
  }
  return locks;
}

void MetadataStore::Impl::DeleteLocked(EntryShard& shard, size_t slot) noexcept {
  const StoredEntry& old = shard.At(slot);
  CountEmptyKeys(EmptyKeysOf(old), -1);
  ForEachKey(old, [id = &old.memory_id](IndexMap& index, size_t, const std::string& key) {
    IndexRemove(index, key, id);
  });
  shard.MarkDeleted(slot);
}

size_t MetadataStore::Delete(
    const std::vector<std::string>& memory_ids,
    const std::function<bool(const StoredEntry&, const EntrySummary&)>& matches) {
  Impl& m = *impl_;
  auto locks = m.LockEverything();

  // First everything that may allocate: the slots to delete, in order and
  // once each, and room in the time order's notes of their shards.
  struct Target {
    size_t shard;
    size_t slot;
    bool operator<(const Target& o) const { return shard != o.shard ? shard < o.shard : slot < o.slot; }
    bool operator==(const Target&) const = default;
  };
  std::vector<Target> targets;
  targets.reserve(memory_ids.size());
  for (const std::string& id : memory_ids) {
    const uint64_t hash = m.seed(id);
    const size_t s = ShardOfHash(hash, m.shard_count);
    const EntryShard& shard = m.entry_shards[s];
    const int64_t found = shard.Find(id, hash);
    if (found < 0 || shard.IsDeleted(static_cast<size_t>(found))) continue;
    const auto slot = static_cast<size_t>(found);
    if (matches && !matches(shard.At(slot), shard.SummaryAt(slot))) continue;
    targets.push_back(Target{s, slot});
  }
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  for (size_t i = 0; i < targets.size();) {
    size_t j = i;
    while (j < targets.size() && targets[j].shard == targets[i].shard) ++j;
    EntryShard& shard = m.entry_shards[targets[i].shard];
    shard.time_pending.reserve(shard.time_pending.size() + (j - i));
    i = j;
  }

  // Then the deletions, which allocate nothing.
  for (const Target& t : targets) m.DeleteLocked(m.entry_shards[t.shard], t.slot);
  return targets.size();
}

}  // namespace velmar::memory
