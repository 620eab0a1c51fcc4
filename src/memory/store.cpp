#include "memory/store.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>

#include "common/panic.hpp"
#include "common/worker_pool.hpp"
#include "memory/id_list.hpp"
#include "memory/lowercase.hpp"
#include "memory/sharded_map.hpp"

namespace velmar::memory {

namespace {

using IndexMap = ShardedMap<IdList>;

// True when ToLower could change `s`. Of the first 256 code points only the
// capitals change (A-Z, U+00C0-U+00D6, U+00D8-U+00DE), and none of them is
// touched by the context rules, so text in that range is decided here;
// anything beyond it is left to ToLower. Accented lowercase letters are
// common enough in keys that sending them to ICU would cost more than all
// the rest of storing an entry.
bool MayChangeInLowercase(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  while (p < end) {
    const unsigned char c = *p++;
    if (c < 0x80) {
      if (c >= 'A' && c <= 'Z') return true;
      continue;
    }
    // U+0080-U+00BF (C2 xx) never change; U+00C0-U+00FF are C3 80-BF.
    if ((c != 0xC2 && c != 0xC3) || p == end) return true;
    const unsigned char next = *p++;
    if (c == 0xC3 && next <= 0x9E && next != 0x97) return true;
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

// Calls fn(key) for each distinct key of `keys`, in order of first
// occurrence: a key repeated within one entry is listed once.
template <class Fn>
void ForEachDistinct(const std::vector<std::string>& keys, Fn&& fn) {
  if (keys.size() <= 16) {
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto before = keys.begin() + static_cast<std::ptrdiff_t>(i);
      if (std::find(keys.begin(), before, keys[i]) == before) fn(keys[i]);
    }
    return;
  }
  std::unordered_set<std::string_view> seen;
  for (const auto& key : keys) {
    if (seen.insert(key).second) fn(key);
  }
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

void IndexAddAll(IndexMap& index, const std::vector<std::string>& keys, IdList::Id id) {
  ForEachDistinct(keys, [&](std::string_view key) { index_add(index, key, id); });
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

// The identifier lists of one secondary index as BulkLoad reaches them,
// while it holds every shard lock of the index. Each key's list is found in
// the shard's table once; after that a flat table of (hash, key, list) finds
// it with one hash of the key and, mostly, one probe, where the shard's
// table would hash the key again and walk its bucket chain.
class ListFinder {
 public:
  explicit ListFinder(IndexMap& index) : index_(index), cells_(256) {}

  // The list under `key` (not empty), created empty if the key is new.
  IdList& Get(std::string_view key) {
    const uint64_t hash = index_.Hash(key);
    size_t mask = cells_.size() - 1;
    size_t i = hash & mask;
    for (; cells_[i].list != nullptr; i = (i + 1) & mask) {
      if (cells_[i].hash == hash && *cells_[i].key == key) return *cells_[i].list;
    }
    auto& table = index_.ShardAt(ShardOfHash(hash, index_.ShardCount())).table;
    auto it = table.find(key);
    if (it == table.end()) it = table.emplace(std::string(key), IdList()).first;
    cells_[i] = Cell{hash, &it->first, &it->second};
    if (2 * ++count_ > cells_.size()) Grow();
    return it->second;
  }

 private:
  struct Cell {
    uint64_t hash = 0;
    const std::string* key = nullptr;  // the node's key and value: they never move
    IdList* list = nullptr;
  };

  void Grow() {
    std::vector<Cell> old = std::move(cells_);
    cells_.assign(2 * old.size(), Cell{});
    const size_t mask = cells_.size() - 1;
    for (const Cell& c : old) {
      if (c.list == nullptr) continue;
      size_t i = c.hash & mask;
      while (cells_[i].list != nullptr) i = (i + 1) & mask;
      cells_[i] = c;
    }
  }

  IndexMap& index_;
  std::vector<Cell> cells_;
  size_t count_ = 0;
};

// Lists `id` under each distinct, non-empty key of `keys`, as IndexAddAll;
// with a null `id`, only makes sure that each key is there.
void ListAll(ListFinder& lists, const std::vector<std::string>& keys, IdList::Id id) {
  ForEachDistinct(keys, [&](std::string_view key) {
    if (key.empty()) return;
    IdList& list = lists.Get(key);
    if (id != nullptr) list.Append(id);
  });
}

// Overwrites a stored entry with a newer one of the same memory_id, leaving
// the stored memory_id string itself untouched: identifier lists point at
// it, and a reader of a list holds only that list's lock, not this entry's.
void Overwrite(StoredEntry& slot, StoredEntry&& next) {
  // Every field but memory_id is assigned below; a new field must be too.
  static_assert(sizeof(MetadataEntry) == 3 * sizeof(std::string) +
                                             4 * sizeof(std::vector<std::string>) +
                                             2 * sizeof(double) + sizeof(uint64_t) +
                                             2 * sizeof(std::optional<std::string>));
  MetadataEntry& e = slot.entry;
  MetadataEntry& n = next.entry;
  e.user_id = std::move(n.user_id);
  e.memory_type = std::move(n.memory_type);
  e.subjects = std::move(n.subjects);
  e.objects = std::move(n.objects);
  e.keywords = std::move(n.keywords);
  e.tags = std::move(n.tags);
  e.importance = n.importance;
  e.confidence = n.confidence;
  e.created_at = n.created_at;
  e.access_count = n.access_count;
  e.chat_id = std::move(n.chat_id);
  e.content_preview = std::move(n.content_preview);
  slot.lower_subjects = std::move(next.lower_subjects);
  slot.lower_objects = std::move(next.lower_objects);
  slot.lower_keywords = std::move(next.lower_keywords);
}

// Finds slots by hash: open addressing with linear probing, each cell
// holding the low half of a key's 64-bit hash and its slot + 1 (0 marks a
// free cell). The keys themselves live with the caller, who confirms a
// candidate slot; growing needs only the cells, never the keys.
class SlotIndex {
 public:
  // The slot whose key has this hash and satisfies is_key(slot), or -1.
  template <class IsKey>
  int64_t Find(uint64_t hash, IsKey&& is_key) const {
    if (cells_.empty()) return -1;
    const auto low = static_cast<uint32_t>(hash);
    const size_t mask = cells_.size() - 1;
    for (size_t i = low & mask;; i = (i + 1) & mask) {
      const Cell c = cells_[i];
      if (c.slot == 0) return -1;
      if (c.hash == low && is_key(c.slot - 1)) return c.slot - 1;
    }
  }

  // Records `slot` (the next one: count() before the call) under `hash`.
  void Add(uint64_t hash, uint32_t slot) {
    Reserve(count_ + 1);
    Place(Cell{static_cast<uint32_t>(hash), slot + 1});
    ++count_;
  }

  // Whether `count` keys fit without growing: at most three-quarters full.
  bool Fits(size_t count) const { return 4 * count <= 3 * cells_.size(); }

  // Grows to hold `count` keys.
  void Reserve(size_t count) {
    if (Fits(count)) return;
    std::vector<Cell> old = std::move(cells_);
    cells_.assign(std::bit_ceil(std::max<size_t>(16, (4 * count + 2) / 3)), Cell{});
    for (const Cell& c : old) {
      if (c.slot != 0) Place(c);
    }
  }

  size_t count() const { return count_; }

 private:
  struct Cell {
    uint32_t hash = 0;
    uint32_t slot = 0;  // slot + 1; 0 is a free cell
  };

  void Place(Cell c) {
    const size_t mask = cells_.size() - 1;
    size_t i = c.hash & mask;
    while (cells_[i].slot != 0) i = (i + 1) & mask;
    cells_[i] = c;
  }

  std::vector<Cell> cells_;
  size_t count_ = 0;
};

// One shard of entry_map. The entries sit in slots, in the order their
// identifiers first arrived, kChunk slots to a chunk. A chunk is allocated
// whole and never grows, so a slot never moves: identifier lists point into
// slots, and a scan walks memory in order instead of chasing hash nodes.
// A replaced entry is overwritten in its slot. Beside each chunk of entries
// is the chunk of their summaries, whose type_code indexes `types`, the
// shard's distinct memory types in order of first use.
struct EntryShard {
  static constexpr size_t kChunk = 1024;
  static constexpr size_t kMaxSlots = std::numeric_limits<uint32_t>::max() - 1;

  struct Chunk {
    std::vector<StoredEntry> entries;
    std::vector<EntrySummary> summaries;
  };

  alignas(64) mutable std::shared_mutex mutex;
  std::vector<Chunk> chunks;
  SlotIndex ids;  // memory_id -> slot
  std::vector<std::string> types;
  SlotIndex type_codes;  // memory_type -> its place in `types`

  size_t size() const { return ids.count(); }
  StoredEntry& At(size_t slot) { return chunks[slot / kChunk].entries[slot % kChunk]; }

  // The slot of `id` (whose seeded hash is `hash`), or -1.
  int64_t Find(std::string_view id, uint64_t hash) {
    return ids.Find(hash, [&](size_t slot) { return At(slot).entry.memory_id == id; });
  }

  // Appends `stored`, whose identifier is not in this shard yet, and returns
  // its slot.
  size_t Add(StoredEntry&& stored, uint64_t hash, const SeededStringHash& seed) {
    const size_t slot = size();
    if (slot >= kMaxSlots) throw Panic("entry shard full");
    if (slot % kChunk == 0) {
      Chunk& chunk = chunks.emplace_back();
      chunk.entries.reserve(kChunk);
      chunk.summaries.reserve(kChunk);
    }
    Chunk& chunk = chunks.back();
    chunk.summaries.push_back(Summarize(stored.entry, seed));
    chunk.entries.push_back(std::move(stored));
    ids.Add(hash, static_cast<uint32_t>(slot));
    return slot;
  }

  // Overwrites the entry in `slot` with a newer one of the same memory_id.
  void Replace(size_t slot, StoredEntry&& next, const SeededStringHash& seed) {
    chunks[slot / kChunk].summaries[slot % kChunk] = Summarize(next.entry, seed);
    Overwrite(At(slot), std::move(next));
  }

  // Makes room for `count` entries in all.
  void Reserve(size_t count) {
    ids.Reserve(count);
    chunks.reserve((count + kChunk - 1) / kChunk);
  }

 private:
  EntrySummary Summarize(const MetadataEntry& e, const SeededStringHash& seed) {
    EntrySummary summary;
    summary.created_at = e.created_at;
    summary.user_hash = MetadataStore::UserHash(e.user_id);
    summary.type_code = TypeCode(e.memory_type, seed);
    summary.importance = e.importance;
    return summary;
  }

  uint32_t TypeCode(std::string_view type, const SeededStringHash& seed) {
    const uint64_t hash = seed(type);
    const int64_t found =
        type_codes.Find(hash, [&](size_t code) { return types[code] == type; });
    if (found >= 0) return static_cast<uint32_t>(found);
    const auto code = static_cast<uint32_t>(types.size());
    types.emplace_back(type);
    type_codes.Add(hash, code);
    return code;
  }
};

}  // namespace

struct MetadataStore::Impl {
  Impl() : seed{NewHashSeed()}, shard_count(ProcessShardCount()) {
    entry_shards = std::make_unique<EntryShard[]>(shard_count);
  }

  SeededStringHash seed;
  size_t shard_count;
  std::unique_ptr<EntryShard[]> entry_shards;
  IndexMap type_index;
  IndexMap subject_index;
  IndexMap keyword_index;
  IndexMap tag_index;

  // insert_entry once the identifier's entry_map shard is write-locked.
  void InsertLocked(EntryShard& shard, StoredEntry&& stored, uint64_t hash) {
    int64_t slot = shard.Find(stored.entry.memory_id, hash);
    if (slot < 0) {
      slot = static_cast<int64_t>(shard.Add(std::move(stored), hash, seed));
    } else {
      const MetadataEntry& old = shard.At(static_cast<size_t>(slot)).entry;
      IdList::Id id = &old.memory_id;
      IndexRemove(type_index, old.memory_type, id);
      for (const auto& s : old.subjects) IndexRemove(subject_index, s, id);
      for (const auto& k : old.keywords) IndexRemove(keyword_index, k, id);
      for (const auto& t : old.tags) IndexRemove(tag_index, t, id);
      shard.Replace(static_cast<size_t>(slot), std::move(stored), seed);
    }

    // After the removals above, `id` is listed nowhere: an identifier is
    // listed exactly under the keys of its stored entry, and all changes go
    // through here under the shard's write lock. So the new keys only
    // append. The lists point at the slot's memory_id, which never moves.
    const MetadataEntry& now = shard.At(static_cast<size_t>(slot)).entry;
    IdList::Id id = &now.memory_id;
    index_add(type_index, now.memory_type, id);
    IndexAddAll(subject_index, now.subjects, id);
    IndexAddAll(keyword_index, now.keywords, id);
    IndexAddAll(tag_index, now.tags, id);
  }
};

MetadataStore::MetadataStore() : impl_(new Impl) {}
MetadataStore::~MetadataStore() { delete impl_; }

void MetadataStore::insert_entry(MetadataEntry entry) {
  // The lowercase forms are computed before any lock is taken.
  StoredEntry stored = MakeStored(std::move(entry));
  const uint64_t hash = impl_->seed(stored.entry.memory_id);

  // The write lock of the identifier's entry_map shard is held for the
  // whole insertion. Besides it, at most one secondary-index shard lock is
  // held at a time, and no entry_map lock is ever taken while holding one,
  // so there is no lock cycle. Holding it exclusively (rather than reading
  // the old entry under a read lock and storing under a second, separate
  // write lock) keeps two concurrent inserts of the same identifier from
  // interleaving: otherwise both could miss each other's entry as "old" and
  // the loser's keys would keep listing the identifier for good.
  //
  // BulkLoad takes every lock at once: all entry_map shards in shard order,
  // then the shards of the type, subject, keyword and tag indexes in that
  // order. That agrees with the rule above (entry_map before any index, and
  // nobody else ever waits for a second index lock), so it adds no cycle.
  EntryShard& shard = impl_->entry_shards[ShardOfHash(hash, impl_->shard_count)];
  std::unique_lock lock(shard.mutex);
  impl_->InsertLocked(shard, std::move(stored), hash);
}

void MetadataStore::BulkLoad(std::vector<MetadataEntry> entries) {
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
    for (MetadataEntry& entry : entries) insert_entry(std::move(entry));
    return;
  }
  for (IndexMap* index : {&m.type_index, &m.subject_index, &m.keyword_index, &m.tag_index}) {
    for (size_t i = 0; i < index->ShardCount(); ++i) locks.emplace_back(index->ShardAt(i).mutex);
  }

  // Every lock is held. Inserting one by one would leave each identifier
  // in the slot of its first occurrence, holding its last one, and list
  // under each key the identifiers whose last occurrence carries it, in the
  // order of those last occurrences. So first every entry takes its slot,
  // then the last occurrences are indexed in file order, appending only.
  // Both steps split into two halves that share nothing (shards, then
  // indexes), run on two threads when that pays.
  const size_t n = entries.size();
  // Below this a second thread costs more to start than it saves.
  const bool two = n >= 20000;
  std::vector<uint64_t> hashes(n);
  RunInHalves(two, [&](int half) {
    for (size_t i = half == 0 ? 0 : n / 2; i < (half == 0 ? n / 2 : n); ++i) {
      hashes[i] = m.seed(entries[i].memory_id);
    }
  });

  // last[i]: the slot entry i went to, when it is its identifier's last
  // occurrence; else null.
  std::vector<const StoredEntry*> last(n);
  std::vector<MetadataEntry> replaced[2];  // the keys of entries replaced
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
      StoredEntry stored = MakeStored(std::move(entries[i]));
      int64_t slot = shard.Find(stored.entry.memory_id, hashes[i]);
      if (slot < 0) {
        slot = static_cast<int64_t>(shard.Add(std::move(stored), hashes[i], m.seed));
        last_in_slot[s].push_back(static_cast<uint32_t>(i));
      } else {
        // The keys of the entry replaced stay in the indexes (with the
        // identifier gone from their lists), as after insert_entry.
        MetadataEntry& old = shard.At(static_cast<size_t>(slot)).entry;
        MetadataEntry& keys = replaced[static_cast<size_t>(half)].emplace_back();
        keys.memory_type = std::move(old.memory_type);
        keys.subjects = std::move(old.subjects);
        keys.keywords = std::move(old.keywords);
        keys.tags = std::move(old.tags);
        shard.Replace(static_cast<size_t>(slot), std::move(stored), m.seed);
        uint32_t& previous = last_in_slot[s][static_cast<size_t>(slot)];
        last[previous] = nullptr;
        previous = static_cast<uint32_t>(i);
      }
      last[i] = &shard.At(static_cast<size_t>(slot));
    }
  });
  std::vector<MetadataEntry>().swap(entries);

  // Types and keywords on one side, subjects and tags on the other: about
  // the same number of keys each.
  RunInHalves(two, [&](int half) {
    ListFinder first(half == 0 ? m.type_index : m.subject_index);
    ListFinder second(half == 0 ? m.keyword_index : m.tag_index);
    for (const StoredEntry* stored : last) {
      if (stored == nullptr) continue;
      const MetadataEntry& e = stored->entry;
      if (half == 0) {
        if (!e.memory_type.empty()) first.Get(e.memory_type).Append(&e.memory_id);
        ListAll(second, e.keywords, &e.memory_id);
      } else {
        ListAll(first, e.subjects, &e.memory_id);
        ListAll(second, e.tags, &e.memory_id);
      }
    }
    for (const auto& side : replaced) {
      for (const MetadataEntry& e : side) {
        if (half == 0) {
          if (!e.memory_type.empty()) first.Get(e.memory_type);
          ListAll(second, e.keywords, nullptr);
        } else {
          ListAll(first, e.subjects, nullptr);
          ListAll(second, e.tags, nullptr);
        }
      }
    }
  });
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

std::vector<MetadataEntry> MetadataStore::take_snapshot() const {
  std::vector<MetadataEntry> out;
  size_t total = 0;
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    std::shared_lock lock(impl_->entry_shards[i].mutex);
    total += impl_->entry_shards[i].size();
  }
  out.reserve(total);
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    VisitShardRuns(i, [&](const ShardRun& run) {
      for (const StoredEntry& stored : run.entries) out.push_back(stored.entry);
    });
  }
  return out;
}

size_t MetadataStore::ShardCount() const { return impl_->shard_count; }

void MetadataStore::VisitShard(size_t shard_index,
                               const std::function<void(const StoredEntry&)>& fn) const {
  VisitShardRuns(shard_index, [&](const ShardRun& run) {
    for (const StoredEntry& stored : run.entries) fn(stored);
  });
}

void MetadataStore::VisitShardRuns(size_t shard_index,
                                   const std::function<void(const ShardRun&)>& fn) const {
  const EntryShard& shard = impl_->entry_shards[shard_index];
  std::shared_lock lock(shard.mutex);
  for (const auto& chunk : shard.chunks) fn(ShardRun{chunk.entries, chunk.summaries, shard.types});
}

uint32_t MetadataStore::UserHash(std::string_view user_id) {
  return static_cast<uint32_t>(HashBytes(user_id, 0x5bd1e995u));
}

MetadataStore::KeyCounts MetadataStore::CountKeys() const {
  KeyCounts counts;
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    std::shared_lock lock(impl_->entry_shards[i].mutex);
    counts.entries += impl_->entry_shards[i].size();
  }
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
