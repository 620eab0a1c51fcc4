#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/run_in_halves.hpp"
#include "memory/store/list_finder.hpp"
#include "memory/store/store_impl.hpp"

namespace velmar::memory {

namespace {

// Where BulkLoad put the entries: last[i] is the slot entry i went to when
// it is its identifier's last occurrence, else null; `replaced` holds the
// keys of the entries that a later occurrence replaced (one side per half).
struct Placed {
  std::vector<const StoredEntry*> last;
  std::vector<StoredEntry> replaced[2];
};

// Gives every entry its slot, shard by shard: even shards on one side, odd
// on the other.
Placed PlaceEntries(MetadataStore::Impl& m, const std::vector<StoredEntry*>& entries,
                    const std::vector<uint64_t>& hashes, bool two) {
  const size_t n = entries.size();
  Placed placed;
  placed.last.resize(n);
  std::vector<const StoredEntry*>& last = placed.last;
  auto& replaced = placed.replaced;
  RunInHalves(two, [&](int half) {
    std::vector<size_t> counts(m.shard_count);
    for (uint64_t hash : hashes) ++counts[ShardOfHash(hash, m.shard_count)];
    // Per shard of this half: the entry that last went to each slot.
    std::vector<std::vector<uint32_t>> last_in_slot(m.shard_count);
    for (size_t s = 0; s < m.shard_count; ++s) {
      if (s % 2 == static_cast<size_t>(half)) m.entry_shards[s].Reserve(counts[s]);
    }
    for (size_t i = 0; i < n; ++i) {
      const size_t s = ShardOfHash(hashes[i], m.shard_count);
      if (s % 2 != static_cast<size_t>(half)) continue;
      EntryShard& shard = m.entry_shards[s];
      StoredEntry stored = std::move(*entries[i]);
      int64_t slot = shard.Find(stored.memory_id, hashes[i]);
      if (slot < 0) {
        const EntrySummary summary = shard.Summarize(stored, m.seed);
        slot = static_cast<int64_t>(shard.Add(std::move(stored), summary, hashes[i]));
        last_in_slot[s].push_back(static_cast<uint32_t>(i));
      } else {
        // The keys of the entry replaced stay in the indexes (with the
        // identifier gone from their lists), as after Insert.
        StoredEntry& old = shard.At(static_cast<size_t>(slot));
        StoredEntry& keys = replaced[static_cast<size_t>(half)].emplace_back();
        keys.memory_id = stored.memory_id;
        keys.memory_type = old.memory_type;
        keys.keys = std::move(old.keys);
        const EntrySummary summary = shard.Summarize(stored, m.seed);
        shard.PrepareReplace();
        shard.Replace(static_cast<size_t>(slot), std::move(stored), summary);
        uint32_t& previous = last_in_slot[s][static_cast<size_t>(slot)];
        last[previous] = nullptr;
        previous = static_cast<uint32_t>(i);
      }
      last[i] = &shard.At(static_cast<size_t>(slot));
    }
  });
  return placed;
}

// Lists the last occurrences in entry order (appending only), and makes
// sure the keys of the replaced entries are there, emptied, as
// Insert would leave them.
void IndexLastOccurrences(MetadataStore::Impl& m, const Placed& placed, bool two) {
  const std::vector<const StoredEntry*>& last = placed.last;
  const auto& replaced = placed.replaced;
  // Types and keywords on one side, subjects and tags on the other: about
  // the same number of keys each.
  RunInHalves(two, [&](int half) {
    ListFinder first(half == 0 ? m.type_index : m.subject_index);
    ListFinder second(half == 0 ? m.keyword_index : m.tag_index);
    for (const StoredEntry* stored : last) {
      if (stored == nullptr) continue;
      const StoredEntry& e = *stored;
      if (half == 0) {
        if (!e.MemoryType().empty()) first.Get(e.memory_type).Append(&e.memory_id);
        ListAll(second, e.Keywords(), &e.memory_id);
      } else {
        ListAll(first, e.Subjects(), &e.memory_id);
        ListAll(second, e.Tags(), &e.memory_id);
      }
    }
    for (const auto& side : replaced) {
      for (const StoredEntry& e : side) {
        if (half == 0) {
          if (!e.MemoryType().empty()) first.Get(e.memory_type);
          ListAll(second, e.Keywords(), nullptr);
        } else {
          ListAll(first, e.Subjects(), nullptr);
          ListAll(second, e.Tags(), nullptr);
        }
      }
    }
  });
}

}  // namespace

std::vector<std::string> MetadataStore::BulkLoad(std::vector<MetadataEntry> entries) {
  StoredPieces stored(1);
  stored[0].reserve(entries.size());
  for (MetadataEntry& e : entries) stored[0].push_back(MakeStored(std::move(e), impl_->pool));
  std::vector<MetadataEntry>().swap(entries);
  return BulkLoad(std::move(stored));
}

std::vector<std::string> MetadataStore::BulkLoad(StoredPieces pieces) {
  Impl& m = *impl_;
  std::vector<std::unique_lock<std::shared_mutex>> locks;
  locks.reserve(5 * m.shard_count);
  bool empty = true;
  for (size_t i = 0; i < m.shard_count; ++i) {
    locks.emplace_back(m.entry_shards[i].mutex);
    empty = empty && m.entry_shards[i].size() == 0;
  }
  if (!empty) {
    // Entries may be replaced: that takes the ordinary path.
    locks.clear();
    for (std::vector<StoredEntry>& piece : pieces) {
      for (StoredEntry& entry : piece) m.Insert(std::move(entry));
    }
    return {};
  }
  for (IndexMap* index :
       {&m.type_index, &m.subject_index, &m.keyword_index, &m.tag_index}) {
    for (size_t i = 0; i < index->ShardCount(); ++i) locks.emplace_back(index->ShardAt(i).mutex);
  }
  return m.LoadLocked(std::move(pieces));
}

std::vector<std::string> MetadataStore::Impl::LoadLocked(StoredPieces&& pieces) {
  Impl& m = *this;
  // Every lock is held. Inserting one by one would leave each identifier
  // in the slot of its first occurrence, holding its last one, and list
  // under each key the identifiers whose last occurrence carries it, in the
  // order of those last occurrences. So first every entry takes its slot,
  // then the last occurrences are indexed in file order, appending only.
  // Both steps split into two halves that share nothing (shards, then
  // indexes), run on two threads when that pays.
  std::vector<StoredEntry*> entries;
  size_t n = 0;
  for (const auto& piece : pieces) n += piece.size();
  entries.reserve(n);
  for (auto& piece : pieces) {
    for (StoredEntry& e : piece) entries.push_back(&e);
  }
  // Below this a second thread costs more to start than it saves.
  const bool two = n >= 20000;
  std::vector<uint64_t> hashes(n);
  RunInHalves(two, [&](int half) {
    for (size_t i = half == 0 ? 0 : n / 2; i < (half == 0 ? n / 2 : n); ++i) {
      hashes[i] = m.seed(entries[i]->memory_id);
    }
  });

  Placed placed = PlaceEntries(m, entries, hashes, two);
  std::vector<StoredEntry*>().swap(entries);
  StoredPieces().swap(pieces);
  IndexLastOccurrences(m, placed, two);

  // What searches narrow with: each shard's time orders and user lists,
  // made now rather than by the first search, and the entries holding
  // empty keys.
  // A slot holds its identifier's last occurrence, so the slots are what
  // the empty keys are counted over.
  RunInHalves(two, [&](int half) {
    int64_t empty[4] = {0, 0, 0, 0};
    for (size_t s = static_cast<size_t>(half); s < m.shard_count; s += 2) {
      EntryShard& shard = m.entry_shards[s];
      shard.SortByTypeTime();
      shard.GroupByUser();
      for (size_t slot = 0; slot < shard.size(); ++slot) {
        const EmptyKeys keys = EmptyKeysOf(shard.At(slot));
        for (size_t i = 0; i < 4; ++i) empty[i] += keys[i];
      }
    }
    for (size_t i = 0; i < 4; ++i) m.empty_keys[i].fetch_add(empty[i], std::memory_order_relaxed);
  });

  std::vector<std::string> repeated;
  for (auto& side : placed.replaced) {
    for (StoredEntry& e : side) repeated.push_back(std::move(e.memory_id));
  }
  std::sort(repeated.begin(), repeated.end());
  repeated.erase(std::unique(repeated.begin(), repeated.end()), repeated.end());
  return repeated;
}

}  // namespace velmar::memory
