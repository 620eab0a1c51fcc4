#include "memory/store/metadata_store.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/run_in_halves.hpp"
#include "memory/store/index_shard_locks.hpp"
#include "memory/store/store_impl.hpp"

namespace velmar::memory {

void MetadataStore::Impl::InsertLocked(EntryShard& shard, StoredEntry&& stored, uint64_t hash) {
  const StoredEntry& next = stored;
  const int64_t found = shard.Find(next.memory_id, hash);
  // A deleted slot is filled again, but it carries no keys to take away.
  const bool old_live = found >= 0 && !shard.IsDeleted(static_cast<size_t>(found));
  const StoredEntry* old = old_live ? &shard.At(static_cast<size_t>(found)) : nullptr;
  IndexShardLocks locks;
  auto note = [&](IndexMap& index, size_t order, const std::string& key) {
    locks.Note(index, order, key);
  };
  ForEachKey(next, note);
  if (old != nullptr) ForEachKey(*old, note);
  locks.LockAll();

  // In the order the identifier is appended: type, subjects, keywords,
  // tags. Reused from insert to insert.
  thread_local std::vector<PreparedList> lists;
  lists.clear();
  const uint64_t insert = next_insert.fetch_add(1, std::memory_order_relaxed);
  EntrySummary summary;
  try {
    lists.reserve(1 + next.Subjects().size() + next.Keywords().size() + next.Tags().size());
    ForEachKey(next, [&](IndexMap& index, size_t, const std::string& key) {
      PrepareKey(index, key, insert, &lists);
    });
    if (found < 0) {
      shard.PrepareAdd();
    } else {
      shard.PrepareReplace();
    }
    summary = shard.Summarize(next, seed);  // its change is never undone
  } catch (...) {
    for (const PreparedList& list : lists) DropPrepared(list);
    throw;
  }

  size_t slot;
  const EmptyKeys added = EmptyKeysOf(next);
  if (found < 0) {
    slot = shard.Add(std::move(stored), summary, hash);
  } else {
    slot = static_cast<size_t>(found);
    if (old != nullptr) {
      CountEmptyKeys(EmptyKeysOf(*old), -1);
      ForEachKey(*old, [id = &old->memory_id](IndexMap& index, size_t, const std::string& key) {
        IndexRemove(index, key, id);
      });
    }
    shard.Replace(slot, std::move(stored), summary);
  }
  CountEmptyKeys(added, +1);

  // After the removals above, `id` is listed nowhere: an identifier is
  // listed exactly under the keys of its stored entry, and all changes go
  // through here under the shard's write lock. So the new keys only
  // append. The lists point at the slot's memory_id, which never moves.
  IdList::Id id = &shard.At(slot).memory_id;
  for (const PreparedList& list : lists) list.value->ids.Append(id);
}

MetadataStore::MetadataStore() : impl_(new Impl) {}
MetadataStore::~MetadataStore() { delete impl_; }

void MetadataStore::Swap(MetadataStore& other) noexcept { std::swap(impl_, other.impl_); }

void MetadataStore::Insert(MetadataEntry entry) {
  // The lowercase forms are computed before any lock is taken.
  impl_->Insert(MakeStored(std::move(entry), impl_->pool));
}

TextPool& MetadataStore::Pool() { return impl_->pool; }

void MetadataStore::Impl::Insert(StoredEntry&& stored) {
  const uint64_t hash = seed(stored.memory_id);

  // The write lock of the identifier's entry_map shard is held for the
  // whole insertion. Besides it, the insert takes the secondary-index shard
  // locks it needs in one global order (see IndexShardLocks), and no
  // entry_map lock is ever taken while holding one, so there is no lock
  // cycle. Holding it exclusively (rather than reading
  // the old entry under a read lock and storing under a second, separate
  // write lock) keeps two concurrent inserts of the same identifier from
  // interleaving: otherwise both could miss each other's entry as "old" and
  // the loser's keys would keep listing the identifier for good.
  //
  // BulkLoad takes every lock at once: all entry_map shards in shard order,
  // then the shards of the type, subject, keyword and tag indexes in that
  // order. That agrees with the rules above (entry_map before any index,
  // index shards in the one order), so it adds no cycle.
  EntryShard& shard = entry_shards[ShardOfHash(hash, shard_count)];
  std::unique_lock lock(shard.mutex);
  InsertLocked(shard, std::move(stored), hash);
}


void MetadataStore::Reserve(size_t count) {
  const size_t shards = impl_->shard_count;
  // Keys spread evenly over the shards, give or take; allow some slack.
  const size_t per_shard = count / shards + count / shards / 8 + 1;
  for (size_t i = 0; i < shards; ++i) {
    EntryShard& shard = impl_->entry_shards[i];
    std::unique_lock lock(shard.mutex);
    // Sizing to just what is asked would let many small batches regrow the
    // cells each time; grow geometrically instead.
    const size_t need = shard.size() + per_shard;
    if (!shard.ids.Fits(need)) shard.Reserve(std::max(need, 2 * shard.size()));
  }
}

std::vector<MetadataEntry> MetadataStore::Snapshot() const {
  std::vector<MetadataEntry> out;
  size_t total = 0;
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    std::shared_lock lock(impl_->entry_shards[i].mutex);
    total += impl_->entry_shards[i].live_count();
  }
  out.reserve(total);
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    VisitShard(i, [&](const StoredEntry& stored) { out.push_back(ToEntry(stored)); });
  }
  return out;
}

void MetadataStore::RefreshViews() const noexcept {
  const Impl& m = *impl_;
  // Half the shards each on two threads: a batch large enough to get here
  // pays many times for starting one. A view that cannot be made now (no
  // memory) is made by the first search that needs it.
  try {
    RunInHalves(true, [&](int half) {
      for (size_t i = static_cast<size_t>(half); i < m.shard_count; i += 2) {
        const EntryShard& shard = m.entry_shards[i];
        std::shared_lock lock(shard.mutex);
        shard.SortByTypeTime();
        shard.GroupByUser();
      }
    });
  } catch (const std::exception&) {
  }
}

size_t MetadataStore::ShardCount() const { return impl_->shard_count; }

void MetadataStore::VisitShard(size_t shard_index,
                               const std::function<void(const StoredEntry&)>& fn) const {
  VisitShardRuns(shard_index, [&](const ShardRun& run) {
    for (size_t i = 0; i < run.entries.size(); ++i) {
      if (!run.summaries[i].deleted) fn(run.entries[i]);
    }
  });
}

void MetadataStore::VisitShardRuns(size_t shard_index,
                                   const std::function<void(const ShardRun&)>& fn) const {
  const EntryShard& shard = impl_->entry_shards[shard_index];
  std::shared_lock lock(shard.mutex);
  for (const auto& chunk : shard.chunks) fn(ShardRun{chunk.entries, chunk.summaries, shard.types});
}

size_t MetadataStore::Size() const {
  size_t total = 0;
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    std::shared_lock lock(impl_->entry_shards[i].mutex);
    total += impl_->entry_shards[i].live_count();
  }
  return total;
}

std::optional<MetadataEntry> MetadataStore::Get(std::string_view memory_id) const {
  const uint64_t hash = impl_->seed(memory_id);
  const EntryShard& shard = impl_->entry_shards[ShardOfHash(hash, impl_->shard_count)];
  std::shared_lock lock(shard.mutex);
  const int64_t slot = shard.Find(memory_id, hash);
  if (slot < 0 || shard.IsDeleted(static_cast<size_t>(slot))) return std::nullopt;
  return ToEntry(shard.At(static_cast<size_t>(slot)));
}

size_t MetadataStore::EntriesWithEmptyKey(KeyIndex index) const {
  const int64_t n = impl_->empty_keys[static_cast<size_t>(index)].load(std::memory_order_relaxed);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

namespace {

bool AppendIds(const IdList& list, size_t max_ids, std::vector<const std::string*>* ids) {
  if (ids->size() + list.size() > max_ids) return false;
  list.ForEachId([&](const std::string* id) { ids->push_back(id); });
  return true;
}

}  // namespace

bool MetadataStore::CollectIds(KeyIndex which, const std::vector<std::string>& keys,
                               size_t max_ids, std::vector<const std::string*>* ids) const {
  if (which == KeyIndex::kUser) {
    // From the shards' slot lists: a superset (users sharing a hash,
    // entries that moved to another user), which searches test anyway.
    for (const std::string& key : keys) {
      const uint32_t user_hash = UserHash(key);
      for (size_t i = 0; i < impl_->shard_count; ++i) {
        const EntryShard& shard = impl_->entry_shards[i];
        std::shared_lock lock(shard.mutex);
        shard.GroupByUser();
        auto it = shard.user_slots.find(user_hash);
        if (it == shard.user_slots.end()) continue;
        if (ids->size() + it->second.size() > max_ids) return false;
        for (uint32_t slot : it->second) ids->push_back(&shard.At(slot).memory_id);
      }
    }
    return true;
  }
  const IndexMap& index = impl_->Index(which);
  for (const std::string& key : keys) {
    const auto& shard = index.ShardFor(key);
    std::shared_lock lock(shard.mutex);
    auto it = shard.table.find(key);
    if (it != shard.table.end() && !AppendIds(it->second.ids, max_ids, ids)) return false;
  }
  return true;
}

bool MetadataStore::CollectMatchingIds(KeyIndex which,
                                       const std::function<bool(std::string_view)>& matches,
                                       size_t max_ids, std::vector<const std::string*>* ids,
                                       bool lowercase) const {
  const IndexMap& index = impl_->Index(which);
  for (size_t i = 0; i < index.ShardCount(); ++i) {
    const auto& shard = index.ShardAt(i);
    std::shared_lock lock(shard.mutex);
    for (const auto& [key, value] : shard.table) {
      if (value.ids.empty() || !matches(lowercase ? LowerKey(key, value) : key)) continue;
      if (!AppendIds(value.ids, max_ids, ids)) return false;
    }
  }
  return true;
}

uint32_t MetadataStore::UserHash(std::string_view user_id) {
  return static_cast<uint32_t>(HashBytes(user_id, 0x5bd1e995u));
}

MetadataStore::KeyCounts MetadataStore::CountKeys() const {
  KeyCounts counts;
  counts.entries = Size();
  counts.types = impl_->type_index.Size();
  counts.subjects = impl_->subject_index.Size();
  counts.keywords = impl_->keyword_index.Size();
  counts.tags = impl_->tag_index.Size();
  return counts;
}

std::vector<std::pair<std::string, size_t>> MetadataStore::TypeDistribution() const {
  std::vector<std::pair<std::string, size_t>> out;
  for (size_t i = 0; i < impl_->type_index.ShardCount(); ++i) {
    const auto& shard = impl_->type_index.ShardAt(i);
    std::shared_lock lock(shard.mutex);
    for (const auto& [key, value] : shard.table) out.emplace_back(key, value.ids.size());
  }
  return out;
}

std::vector<std::string> MetadataStore::TypeIds(const std::string& key) const {
  return IdsOf(impl_->type_index, key);
}
std::vector<std::string> MetadataStore::SubjectIds(const std::string& key) const {
  return IdsOf(impl_->subject_index, key);
}
std::vector<std::string> MetadataStore::KeywordIds(const std::string& key) const {
  return IdsOf(impl_->keyword_index, key);
}
std::vector<std::string> MetadataStore::TagIds(const std::string& key) const {
  return IdsOf(impl_->tag_index, key);
}

}  // namespace velmar::memory
