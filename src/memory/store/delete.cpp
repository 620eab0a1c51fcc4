#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <span>
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
  // The identifiers each index list loses, grouped by list, so that each
  // list is gone through once (an entry may repeat a key: once is enough).
  // The lists stay, maybe emptied, as after a replacement.
  std::vector<std::pair<IdList*, IdList::Id>> removals;
  for (const Target& t : targets) {
    const StoredEntry& e = m.entry_shards[t.shard].At(t.slot);
    m.ForEachKey(e, [&](IndexMap& index, size_t, const std::string& key) {
      IndexMap::Table& table = index.ShardFor(key).table;
      auto it = table.find(key);
      if (it != table.end()) removals.emplace_back(&it->second.ids, &e.memory_id);
    });
  }
  std::sort(removals.begin(), removals.end(), [](const auto& a, const auto& b) {
    const std::less<> less;
    return a.first != b.first ? less(a.first, b.first) : less(a.second, b.second);
  });
  removals.erase(std::unique(removals.begin(), removals.end()), removals.end());
  const size_t n = removals.size();
  // The end of the run of removals from the list of removals[i].
  auto run_end = [&](size_t i) {
    size_t j = i + 1;
    while (j < n && removals[j].first == removals[i].first) ++j;
    return j;
  };
  std::vector<IdList::Id> gone(n);
  for (size_t i = 0; i < n; ++i) gone[i] = removals[i].second;
  size_t most = 0;
  for (size_t i = 0, j = 0; i < n; i = j) {
    j = run_end(i);
    most = std::max(most, j - i);
  }
  std::vector<IdList::Id> scratch(IdList::RemovalCells(most));

  // Then the deletions, which allocate nothing.
  for (size_t i = 0, j = 0; i < n; i = j) {
    j = run_end(i);
    removals[i].first->RemoveMany(std::span(gone).subspan(i, j - i), scratch);
  }
  for (const Target& t : targets) {
    EntryShard& shard = m.entry_shards[t.shard];
    m.CountEmptyKeys(EmptyKeysOf(shard.At(t.slot)), -1);
    shard.MarkDeleted(t.slot);
  }
  return targets.size();
}

}  // namespace velmar::memory
