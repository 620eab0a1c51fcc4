#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "memory/store/store_impl.hpp"

namespace velmar::memory {

namespace {

constexpr uint32_t kNoList = UINT32_MAX;  // a key no index holds

using DeleteFilter = std::function<bool(const StoredEntry&, const EntrySummary&)>;

// A live entry to delete: its shard and slot.
struct Target {
  size_t shard;
  size_t slot;
  bool operator<(const Target& o) const { return shard != o.shard ? shard < o.shard : slot < o.slot; }
  bool operator==(const Target&) const = default;
};

// The slots of the live entries of `memory_ids` that `matches` (if given)
// accepts, in order and once each.
std::vector<Target> FindTargets(MetadataStore::Impl& m, const std::vector<std::string>& memory_ids,
                                const DeleteFilter& matches) {
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
  return targets;
}

// Makes room in the time order's notes of each shard that loses entries.
void ReserveTimeNotes(MetadataStore::Impl& m, const std::vector<Target>& targets) {
  for (size_t i = 0; i < targets.size();) {
    size_t j = i;
    while (j < targets.size() && targets[j].shard == targets[i].shard) ++j;
    EntryShard& shard = m.entry_shards[targets[i].shard];
    shard.time_pending.reserve(shard.time_pending.size() + (j - i));
    i = j;
  }
}

// The identifiers each index list loses, grouped by list, so that each list
// is gone through once: list l loses gone[starts[l], ends[l]), without
// repeats, with `scratch` room enough for the largest removal.
struct IndexRemovals {
  std::vector<IdList*> lists;
  std::vector<IdList::Id> gone;
  std::vector<size_t> starts, ends;
  std::vector<IdList::Id> scratch;
};

// An entry may repeat a key: once is enough. The lists stay, maybe emptied,
// as after a replacement. Keys are pooled texts, so each distinct key's
// list is looked up once, by the text's address, however many entries hold
// it; lists are numbered as met.
IndexRemovals CollectRemovals(MetadataStore::Impl& m, const std::vector<Target>& targets) {
  IndexRemovals out;
  std::array<std::unordered_map<const std::string*, uint32_t>, 4> number_of;
  std::vector<std::pair<uint32_t, IdList::Id>> removals;
  for (const Target& t : targets) {
    const StoredEntry& e = m.entry_shards[t.shard].At(t.slot);
    m.ForEachKey(e, [&](IndexMap& index, size_t which, const std::string& key) {
      auto [it, added] = number_of[which].try_emplace(&key, kNoList);
      if (added) {
        IndexMap::Table& table = index.ShardFor(key).table;
        auto found = table.find(key);
        if (found != table.end()) {
          it->second = static_cast<uint32_t>(out.lists.size());
          out.lists.push_back(&found->second.ids);
        }
      }
      if (it->second != kNoList) removals.emplace_back(it->second, &e.memory_id);
    });
  }
  // An entry's removals are made one after another, so one listed under a
  // key twice is repeated side by side.
  out.starts.assign(out.lists.size() + 1, 0);
  for (const auto& r : removals) ++out.starts[r.first + 1];
  for (size_t l = 1; l < out.starts.size(); ++l) out.starts[l] += out.starts[l - 1];
  out.gone.resize(removals.size());
  out.ends.assign(out.starts.begin(), out.starts.end() - 1);
  for (const auto& [list, id] : removals) out.gone[out.ends[list]++] = id;
  std::vector<std::pair<uint32_t, IdList::Id>>().swap(removals);
  size_t most = 0;
  for (size_t l = 0; l < out.lists.size(); ++l) {
    IdList::Id* first = out.gone.data() + out.starts[l];
    out.ends[l] = static_cast<size_t>(std::unique(first, out.gone.data() + out.ends[l]) - out.gone.data());
    most = std::max(most, out.ends[l] - out.starts[l]);
  }
  out.scratch.resize(IdList::RemovalCells(most));
  return out;
}

}  // namespace

std::vector<std::unique_lock<std::shared_mutex>> MetadataStore::Impl::LockEverything() {
  std::vector<std::unique_lock<std::shared_mutex>> locks;
  locks.reserve(5 * shard_count);  // the only allocation: before any lock
  for (size_t i = 0; i < shard_count; ++i) locks.emplace_back(entry_shards[i].mutex);
  for (IndexMap* index : {&type_index, &subject_index, &keyword_index, &tag_index}) {
    for (size_t i = 0; i < index->ShardCount(); ++i) locks.emplace_back(index->ShardAt(i).mutex);
  }
  return locks;
}

size_t MetadataStore::Delete(const std::vector<std::string>& memory_ids, const DeleteFilter& matches) {
  Impl& m = *impl_;
  auto locks = m.LockEverything();

  // First everything that may allocate.
  const std::vector<Target> targets = FindTargets(m, memory_ids, matches);
  ReserveTimeNotes(m, targets);
  IndexRemovals removals = CollectRemovals(m, targets);

  // Then the deletions, which allocate nothing.
  for (size_t l = 0; l < removals.lists.size(); ++l) {
    const size_t count = removals.ends[l] - removals.starts[l];
    removals.lists[l]->RemoveMany(std::span(removals.gone).subspan(removals.starts[l], count), removals.scratch);
  }
  for (const Target& t : targets) {
    EntryShard& shard = m.entry_shards[t.shard];
    m.CountEmptyKeys(EmptyKeysOf(shard.At(t.slot)), -1);
    shard.MarkDeleted(t.slot);
  }
  return targets.size();
}

}  // namespace velmar::memory
