#include "memory/store.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "memory/id_list.hpp"
#include "memory/lowercase.hpp"
#include "memory/sharded_map.hpp"

namespace velmar::memory {

namespace {

using IndexMap = ShardedMap<IdList>;

// True when ToLower could change `s`: an ASCII capital or any non-ASCII byte.
bool MayChangeInLowercase(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || u >= 0x80) return true;
  }
  return false;
}

// The lowercase form of `items`, or an empty list when it equals `items`.
std::vector<std::string> LowerList(const std::vector<std::string>& items) {
  std::vector<std::string> lower;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!lower.empty()) {
      lower.push_back(MayChangeInLowercase(items[i]) ? ToLower(items[i]) : items[i]);
      continue;
    }
    if (!MayChangeInLowercase(items[i])) continue;
    std::string low = ToLower(items[i]);
    if (low == items[i]) continue;
    // First item that changes: the earlier ones are their own lowercase.
    lower.reserve(items.size());
    lower.assign(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i));
    lower.push_back(std::move(low));
  }
  return lower;
}

StoredEntry MakeStored(MetadataEntry&& entry) {
  StoredEntry stored;
  stored.lower_subjects = LowerList(entry.subjects);
  stored.lower_objects = LowerList(entry.objects);
  stored.lower_keywords = LowerList(entry.keywords);
  stored.entry = std::move(entry);
  return stored;
}

// Lists `id` under `key` (an empty key is never indexed). The caller
// guarantees that `id` is not listed there yet (see insert_entry), which
// spares a search of what may be a very long list.
void index_add(IndexMap& index, std::string_view key, IdList::Id id) {
  if (key.empty()) return;
  auto& shard = index.ShardFor(key);
  std::unique_lock lock(shard.mutex);
  auto it = shard.table.find(key);
  if (it == shard.table.end()) it = shard.table.emplace(std::string(key), IdList()).first;
  it->second.Append(id);
}

// Lists `id` under each distinct key of `keys`, in order. A key repeated
// within one entry is listed once.
void IndexAddAll(IndexMap& index, const std::vector<std::string>& keys, IdList::Id id) {
  if (keys.size() <= 16) {
    for (size_t i = 0; i < keys.size(); ++i) {
      if (std::find(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(i), keys[i]) !=
          keys.begin() + static_cast<std::ptrdiff_t>(i)) {
        continue;
      }
      index_add(index, keys[i], id);
    }
    return;
  }
  std::unordered_set<std::string_view> seen;
  for (const auto& key : keys) {
    if (seen.insert(key).second) index_add(index, key, id);
  }
}

// Takes `id` off the list under `key`; an emptied list stays in place and a
// missing key is passed over. Takes only the write lock of the key's shard.
void IndexRemove(IndexMap& index, std::string_view key, IdList::Id id) {
  if (key.empty()) return;  // never indexed
  auto& shard = index.ShardFor(key);
  std::unique_lock lock(shard.mutex);
  auto it = shard.table.find(key);
  if (it != shard.table.end()) it->second.Remove(id);
}

std::vector<std::string> IdsOf(const IndexMap& index, std::string_view key) {
  const auto& shard = index.ShardFor(key);
  std::shared_lock lock(shard.mutex);
  auto it = shard.table.find(key);
  return it == shard.table.end() ? std::vector<std::string>() : it->second.ToVector();
}

}  // namespace

struct MetadataStore::Impl {
  ShardedMap<StoredEntry> entry_map;
  IndexMap type_index;
  IndexMap subject_index;
  IndexMap keyword_index;
  IndexMap tag_index;
};

MetadataStore::MetadataStore() : impl_(new Impl) {}
MetadataStore::~MetadataStore() { delete impl_; }

void MetadataStore::insert_entry(MetadataEntry entry) {
  // The lowercase forms are computed before any lock is taken.
  StoredEntry stored = MakeStored(std::move(entry));

  // The write lock of the identifier's entry_map shard is held for the
  // whole insertion. Besides it, at most one secondary-index shard lock is
  // held at a time, and no entry_map lock is ever taken while holding one,
  // so there is no lock cycle. Holding it exclusively (rather than reading
  // the old entry under a read lock and storing under a second, separate
  // write lock) keeps two concurrent inserts of the same identifier from
  // interleaving: otherwise both could miss each other's entry as "old" and
  // the loser's keys would keep listing the identifier for good.
  auto& shard = impl_->entry_map.ShardFor(stored.entry.memory_id);
  std::unique_lock lock(shard.mutex);
  // One lookup: a new identifier takes the entry straight into its node
  // (the key is copied from it before it is moved); for a known one
  // try_emplace leaves `stored` untouched.
  auto [it, inserted] = shard.table.try_emplace(stored.entry.memory_id, std::move(stored));
  if (!inserted) {
    const MetadataEntry& old = it->second.entry;
    IdList::Id id = &it->first;
    IndexRemove(impl_->type_index, old.memory_type, id);
    for (const auto& s : old.subjects) IndexRemove(impl_->subject_index, s, id);
    for (const auto& k : old.keywords) IndexRemove(impl_->keyword_index, k, id);
    for (const auto& t : old.tags) IndexRemove(impl_->tag_index, t, id);
    it->second = std::move(stored);
  }

  // After the removals above, `id` is listed nowhere: an identifier is
  // listed exactly under the keys of its stored entry, and all changes go
  // through here under the shard's write lock. So the new keys only append.
  // The lists point at the node's key, which never moves.
  IdList::Id id = &it->first;
  const MetadataEntry& now = it->second.entry;
  index_add(impl_->type_index, now.memory_type, id);
  IndexAddAll(impl_->subject_index, now.subjects, id);
  IndexAddAll(impl_->keyword_index, now.keywords, id);
  IndexAddAll(impl_->tag_index, now.tags, id);
}

void MetadataStore::Reserve(size_t count) {
  const size_t shards = impl_->entry_map.ShardCount();
  // Keys spread evenly over the shards, give or take; allow some slack.
  const size_t per_shard = count / shards + count / shards / 8 + 1;
  for (size_t i = 0; i < shards; ++i) {
    auto& shard = impl_->entry_map.ShardAt(i);
    std::unique_lock lock(shard.mutex);
    auto& table = shard.table;
    const size_t need = table.size() + per_shard;
    const auto room = static_cast<size_t>(static_cast<float>(table.bucket_count()) *
                                          table.max_load_factor());
    // reserve() sizes the table to just what is asked; many small batches
    // would then rehash the whole table each time. Grow geometrically.
    if (need > room) table.reserve(std::max(need, 2 * table.size()));
  }
}

std::vector<MetadataEntry> MetadataStore::take_snapshot() const {
  std::vector<MetadataEntry> out;
  out.reserve(impl_->entry_map.Size());
  for (size_t i = 0; i < impl_->entry_map.ShardCount(); ++i) {
    const auto& shard = impl_->entry_map.ShardAt(i);
    std::shared_lock lock(shard.mutex);
    for (const auto& [id, stored] : shard.table) out.push_back(stored.entry);
  }
  return out;
}

size_t MetadataStore::ShardCount() const { return impl_->entry_map.ShardCount(); }

void MetadataStore::VisitShard(size_t shard_index,
                               const std::function<void(const StoredEntry&)>& fn) const {
  const auto& shard = impl_->entry_map.ShardAt(shard_index);
  std::shared_lock lock(shard.mutex);
  for (const auto& [id, stored] : shard.table) fn(stored);
}

MetadataStore::KeyCounts MetadataStore::CountKeys() const {
  KeyCounts counts;
  counts.entries = impl_->entry_map.Size();
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
    for (const auto& [key, ids] : shard.table) out.emplace_back(key, ids.size());
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
