#include "memory/store.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/panic.hpp"
#include "common/worker_pool.hpp"
#include "memory/id_list.hpp"
#include "memory/lowercase.hpp"
#include "memory/sharded_map.hpp"

namespace velmar::memory {

namespace {

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

IndexedKey NewIndexedKey(std::string_view key);

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

// StoredOf: an identifier list points at entry.memory_id, the first member
// of the first member, which a standard-layout class shares its address with.
static_assert(std::is_standard_layout_v<StoredEntry> && std::is_standard_layout_v<MetadataEntry>);
static_assert(offsetof(StoredEntry, entry) == 0 && offsetof(MetadataEntry, memory_id) == 0);

IndexedKey NewIndexedKey(std::string_view key) {
  IndexedKey made;
  if (MayChangeInLowercase(key)) {
    std::string lower = ToLower(key);
    if (lower != key) made.lower = std::move(lower);
  }
  return made;
}

// The lowercase form of an index key.
std::string_view LowerKey(const std::string& key, const IndexedKey& value) {
  return value.lower.empty() ? std::string_view(key) : std::string_view(value.lower);
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
  seen.reserve(keys.size());
  for (const auto& key : keys) {
    if (seen.insert(key).second) fn(key);
  }
}

// The index shards one insert writes to, write-locked together for the
// whole insert in one global order: index by index (type, subject, keyword,
// tag), shards by number. Every insert takes them while holding its entry
// shard's lock, and BulkLoad takes all of them in that same order, so no
// two lockers can wait on each other in a cycle.
class IndexShardLocks {
 public:
  // Inserts run often: the list of shards is kept from one to the next.
  IndexShardLocks() : wanted_(Buffer()) { wanted_.clear(); }
  IndexShardLocks(const IndexShardLocks&) = delete;
  IndexShardLocks& operator=(const IndexShardLocks&) = delete;

  // Notes the shard of `key` in `index` (the index's place in the order is
  // `order`). May throw; nothing is locked yet.
  void Note(IndexMap& index, size_t order, std::string_view key) {
    const size_t shard = index.ShardIndex(key);
    wanted_.push_back({order * index.ShardCount() + shard, &index.ShardAt(shard).mutex});
  }

  // Locks every noted shard once, in order.
  void LockAll() noexcept {
    std::sort(wanted_.begin(), wanted_.end(),
              [](const Wanted& a, const Wanted& b) { return a.rank < b.rank; });
    wanted_.erase(std::unique(wanted_.begin(), wanted_.end(),
                              [](const Wanted& a, const Wanted& b) { return a.rank == b.rank; }),
                  wanted_.end());
    for (const Wanted& w : wanted_) w.mutex->lock();
    locked_ = true;
  }

  ~IndexShardLocks() {
    if (!locked_) return;
    for (auto it = wanted_.rbegin(); it != wanted_.rend(); ++it) it->mutex->unlock();
  }

 private:
  struct Wanted {
    size_t rank;
    std::shared_mutex* mutex;
  };
  static std::vector<Wanted>& Buffer() {
    thread_local std::vector<Wanted> buffer;
    return buffer;
  }
  std::vector<Wanted>& wanted_;
  bool locked_ = false;
};

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
                std::vector<PreparedList>* prepared) {
  IndexMap::Table& table = index.ShardFor(key).table;
  auto it = table.find(key);
  const bool created = it == table.end();
  if (!created && it->second.last_insert == insert) return;
  if (created) it = table.emplace(std::string(key), NewIndexedKey(key)).first;
  try {
    it->second.ids.PrepareAppend();
    prepared->push_back(PreparedList{&table, key, &it->second, created});
  } catch (...) {
    if (created) table.erase(it);
    throw;
  }
  it->second.last_insert = insert;
}

// With the key's shard write-locked: gives up a prepared list, taking away
// a key the insert added.
void DropPrepared(const PreparedList& list) noexcept {
  if (list.created) list.table->erase(list.table->find(list.key));
}

// With the key's shard write-locked: takes `id` off the list under `key`;
// an emptied list stays in place and a missing key is passed over.
void IndexRemove(IndexMap& index, std::string_view key, IdList::Id id) {
  IndexMap::Table& table = index.ShardFor(key).table;
  auto it = table.find(key);
  if (it != table.end()) it->second.ids.Remove(id);
}

std::vector<std::string> IdsOf(const IndexMap& index, std::string_view key) {
  const auto& shard = index.ShardFor(key);
  std::shared_lock lock(shard.mutex);
  auto it = shard.table.find(key);
  return it == shard.table.end() ? std::vector<std::string>() : it->second.ids.ToVector();
}

// The identifier lists of one secondary index as BulkLoad reaches them,
// while it holds every shard lock of the index. Each key's list is found in
// the shard's table once; after that a flat table of (hash, key, list) finds
// it with one hash of the key and, mostly, one probe, where the shard's
// table would hash the key again and walk its bucket chain.
class ListFinder {
 public:
  explicit ListFinder(IndexMap& index) : index_(index), cells_(256) {}

  // The list under `key`, created empty if the key is new.
  IdList& Get(std::string_view key) {
    const uint64_t hash = index_.Hash(key);
    size_t mask = cells_.size() - 1;
    size_t i = hash & mask;
    for (; cells_[i].list != nullptr; i = (i + 1) & mask) {
      if (cells_[i].hash == hash && *cells_[i].key == key) return *cells_[i].list;
    }
    auto& table = index_.ShardAt(ShardOfHash(hash, index_.ShardCount())).table;
    auto it = table.find(key);
    if (it == table.end()) it = table.emplace(std::string(key), NewIndexedKey(key)).first;
    cells_[i] = Cell{hash, &it->first, &it->second.ids};
    if (2 * ++count_ > cells_.size()) Grow();
    return it->second.ids;
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

// Lists `id` under each distinct, non-empty key of `keys`, as insert_entry;
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
void Overwrite(StoredEntry& slot, StoredEntry&& next) noexcept {
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

  // Grows to hold `count` keys. On failure nothing has changed.
  void Reserve(size_t count) {
    if (Fits(count)) return;
    std::vector<Cell> grown(std::bit_ceil(std::max<size_t>(16, (4 * count + 2) / 3)), Cell{});
    grown.swap(cells_);
    for (const Cell& c : grown) {
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

  // An entry's place in time order: newest first, equal times by slot.
  // Its user's hash fills what would be padding, so that a walk through a
  // time window can pass over other users' entries without reading them.
  struct TimeItem {
    double created_at;
    uint32_t slot;
    uint32_t user_hash;
  };

  // The items of a time window in by_time: [begin, end) newer than
  // `oldest` and no newer than `newest` (a bound absent or NaN bounds
  // nothing), then [nan, last) the NaN times, which no bound passes over.
  struct Window {
    const TimeItem* begin;
    const TimeItem* end;
    const TimeItem* nan;
    const TimeItem* last;
  };

  alignas(64) mutable std::shared_mutex mutex;
  uint32_t index = 0;  // this shard's place among entry_map's shards
  std::vector<Chunk> chunks;
  SlotIndex ids;  // memory_id -> slot
  std::vector<std::string> types;
  SlotIndex type_codes;  // memory_type -> its place in `types`

  // Two views for searches, both kept lazily so that an insert pays for
  // neither: the first reader that needs one (under a read lock, holding
  // the view's mutex) takes in the slots added since it was last brought up
  // to date (from *_upto on) and those a writer noted as changed. A writer
  // (under the write lock) notes a replaced slot only when the view already
  // covers it.
  //
  // Every slot in time order: a noted slot's created_at or user changed,
  // and its old item is dropped on the merge.
  mutable std::mutex time_mutex;
  mutable std::vector<TimeItem> by_time;
  mutable std::vector<uint32_t> time_pending;
  mutable size_t time_upto = 0;

  // The slots of each user, by UserHash of user_id (users sharing a hash
  // share a list). A noted slot's entry moved to another user; it stays
  // behind in the old list (and may come back twice): readers check.
  mutable std::mutex users_mutex;
  mutable std::unordered_map<uint32_t, std::vector<uint32_t>> user_slots;
  mutable std::vector<uint32_t> users_pending;
  mutable size_t users_upto = 0;

  size_t size() const { return ids.count(); }
  StoredEntry& At(size_t slot) { return chunks[slot / kChunk].entries[slot % kChunk]; }
  const StoredEntry& At(size_t slot) const { return chunks[slot / kChunk].entries[slot % kChunk]; }
  const EntrySummary& SummaryAt(size_t slot) const {
    return chunks[slot / kChunk].summaries[slot % kChunk];
  }

  static bool SameTime(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
  }
  // Time order: newer first, NaN after every number, equal times by slot.
  static bool Earlier(const TimeItem& a, const TimeItem& b) {
    const bool nan_a = std::isnan(a.created_at), nan_b = std::isnan(b.created_at);
    if (nan_a != nan_b) return nan_b;
    if (!nan_a && a.created_at != b.created_at) return a.created_at > b.created_at;
    return a.slot < b.slot;
  }

  // The place of a time in time order as a number: newer first, equal
  // times equal (+0 and -0 too), NaN last.
  static uint64_t TimeKey(double t) {
    if (std::isnan(t)) return std::numeric_limits<uint64_t>::max();
    const uint64_t bits = std::bit_cast<uint64_t>(t == 0 ? 0.0 : t);
    const uint64_t ascending = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
    return ~ascending;
  }

  // Sorts items that are in slot order into time order (Earlier). A first
  // search after a large batch sorts every entry, so this is a radix sort
  // on TimeKey, 16 bits a pass (stable, which keeps equal times in slot
  // order); a pass whose digit is the same for all items is left out.
  static void SortBySlotTime(std::vector<TimeItem>& items) {
    if (items.size() < 4096) {
      std::sort(items.begin(), items.end(), Earlier);
      return;
    }
    std::vector<TimeItem> sorted(items.size());
    std::vector<size_t> start(size_t{1} << 16);
    for (int shift = 0; shift < 64; shift += 16) {
      auto digit = [shift](const TimeItem& t) { return (TimeKey(t.created_at) >> shift) & 0xffff; };
      std::fill(start.begin(), start.end(), 0);
      for (const TimeItem& t : items) ++start[digit(t)];
      if (start[digit(items.front())] == items.size()) continue;
      size_t sum = 0;
      for (size_t& n : start) sum += std::exchange(n, sum);
      for (const TimeItem& t : items) sorted[start[digit(t)]++] = t;
      items.swap(sorted);
    }
  }

  // Brings by_time up to date. The caller holds the shard's read lock (or
  // its write lock).
  void SortByTime() const {
    std::lock_guard guard(time_mutex);
    const size_t count = size();
    if (time_pending.empty() && time_upto == count) return;
    std::vector<TimeItem> fresh;
    fresh.reserve(time_pending.size() + (count - time_upto));
    auto item_of = [&](size_t slot) {
      const EntrySummary& s = SummaryAt(slot);
      return TimeItem{s.created_at, static_cast<uint32_t>(slot), s.user_hash};
    };
    // In slot order (noted slots all come before time_upto), so that a
    // stable sort by time leaves equal times in slot order.
    std::sort(time_pending.begin(), time_pending.end());
    time_pending.erase(std::unique(time_pending.begin(), time_pending.end()), time_pending.end());
    for (uint32_t slot : time_pending) fresh.push_back(item_of(slot));
    for (size_t slot = time_upto; slot < count; ++slot) fresh.push_back(item_of(slot));
    SortBySlotTime(fresh);
    // An item is current when its time and user are still its slot's; a
    // slot whose time went and came back gives two equal items, next to
    // each other.
    auto current = [&](const TimeItem& item) {
      const EntrySummary& s = SummaryAt(item.slot);
      return SameTime(item.created_at, s.created_at) && item.user_hash == s.user_hash;
    };
    std::vector<TimeItem> merged;
    merged.reserve(by_time.size() + fresh.size());
    auto a = by_time.begin(), b = fresh.begin();
    auto keep = [&](const TimeItem& item) {
      if (!current(item)) return;
      if (!merged.empty() && merged.back().slot == item.slot &&
          SameTime(merged.back().created_at, item.created_at)) {
        return;
      }
      merged.push_back(item);
    };
    while (a != by_time.end() || b != fresh.end()) {
      if (b == fresh.end() || (a != by_time.end() && !Earlier(*b, *a))) {
        keep(*a++);
      } else {
        keep(*b++);
      }
    }
    by_time.swap(merged);
    time_pending.clear();
    time_upto = count;
  }

  // The window of by_time, which the caller has brought up to date.
  Window TimeWindow(std::optional<double> newest, std::optional<double> oldest) const {
    const TimeItem* first = by_time.data();
    const TimeItem* last = first + by_time.size();
    const TimeItem* nan =
        std::partition_point(first, last, [](const TimeItem& t) { return !std::isnan(t.created_at); });
    const TimeItem* begin = first;
    const TimeItem* end = nan;
    if (newest) {
      begin = std::partition_point(first, nan, [&](const TimeItem& t) { return t.created_at > *newest; });
    }
    if (oldest && !std::isnan(*oldest)) {
      end = std::partition_point(begin, nan, [&](const TimeItem& t) { return t.created_at >= *oldest; });
    }
    return Window{begin, std::max(begin, end), nan, last};
  }

  // Brings user_slots up to date. The caller holds the shard's read lock
  // (or its write lock). On failure a slot may be listed twice, which
  // readers allow for.
  void GroupByUser() const {
    std::lock_guard guard(users_mutex);
    for (const size_t count = size(); users_upto < count; ++users_upto) {
      user_slots[SummaryAt(users_upto).user_hash].push_back(static_cast<uint32_t>(users_upto));
    }
    for (uint32_t slot : users_pending) user_slots[SummaryAt(slot).user_hash].push_back(slot);
    users_pending.clear();
  }

  // The slot of `id` (whose seeded hash is `hash`), or -1.
  int64_t Find(std::string_view id, uint64_t hash) {
    return ids.Find(hash, [&](size_t slot) { return At(slot).entry.memory_id == id; });
  }

  // Makes sure that the next Add allocates nothing: room in `ids` and a
  // chunk with room for the slot. May throw; changes nothing visible (an
  // empty chunk at the end holds no entry).
  void PrepareAdd() {
    const size_t slot = size();
    if (slot >= kMaxSlots) throw Panic("entry shard full");
    ids.Reserve(slot + 1);
    if (slot / kChunk == chunks.size()) {
      // Reserved whole before it joins the shard: a chunk never grows, so
      // its entries never move.
      Chunk chunk;
      chunk.entries.reserve(kChunk);
      chunk.summaries.reserve(kChunk);
      chunks.push_back(std::move(chunk));
    }
  }

  // Appends `stored`, whose identifier is not in this shard yet, and returns
  // its slot. Allocates nothing after PrepareAdd().
  size_t Add(StoredEntry&& stored, const EntrySummary& summary, uint64_t hash) {
    PrepareAdd();
    const size_t slot = size();
    Chunk& chunk = chunks[slot / kChunk];
    stored.shard = index;
    stored.slot = static_cast<uint32_t>(slot);
    chunk.summaries.push_back(summary);
    chunk.entries.push_back(std::move(stored));
    ids.Add(hash, static_cast<uint32_t>(slot));
    return slot;
  }

  // Room to note one more slot for each lazy view, so that the next
  // Replace allocates nothing. May throw.
  void PrepareReplace() {
    for (std::vector<uint32_t>* notes : {&time_pending, &users_pending}) {
      if (notes->size() == notes->capacity()) notes->reserve(std::max<size_t>(16, 2 * notes->capacity()));
    }
  }

  // Overwrites the entry in `slot` with a newer one of the same memory_id.
  // After PrepareReplace().
  void Replace(size_t slot, StoredEntry&& next, const EntrySummary& summary) noexcept {
    EntrySummary& old = chunks[slot / kChunk].summaries[slot % kChunk];
    if (slot < time_upto &&
        (!SameTime(old.created_at, summary.created_at) || old.user_hash != summary.user_hash)) {
      time_pending.push_back(static_cast<uint32_t>(slot));
    }
    if (slot < users_upto && old.user_hash != summary.user_hash) {
      users_pending.push_back(static_cast<uint32_t>(slot));
    }
    old = summary;
    Overwrite(At(slot), std::move(next));
  }

  // The summary of `e`. May add its memory_type to `types`, which changes
  // nothing a search can see; may throw, leaving `types` as it was.
  EntrySummary Summarize(const MetadataEntry& e, const SeededStringHash& seed) {
    EntrySummary summary;
    summary.created_at = e.created_at;
    summary.user_hash = MetadataStore::UserHash(e.user_id);
    summary.type_code = TypeCode(e.memory_type, seed);
    summary.importance = e.importance;
    return summary;
  }

  // Makes room for `count` entries in all.
  void Reserve(size_t count) {
    ids.Reserve(count);
    chunks.reserve((count + kChunk - 1) / kChunk);
  }

 private:
  uint32_t TypeCode(std::string_view type, const SeededStringHash& seed) {
    const uint64_t hash = seed(type);
    const int64_t found =
        type_codes.Find(hash, [&](size_t code) { return types[code] == type; });
    if (found >= 0) return static_cast<uint32_t>(found);
    const auto code = static_cast<uint32_t>(types.size());
    type_codes.Reserve(types.size() + 1);
    types.emplace_back(type);
    type_codes.Add(hash, code);  // room reserved: cannot fail
    return code;
  }
};

}  // namespace

// Which of an entry's keys are the empty text, by KeyIndex.
using EmptyKeys = std::array<bool, 4>;

EmptyKeys EmptyKeysOf(const MetadataEntry& e) {
  auto any_empty = [](const std::vector<std::string>& keys) {
    return std::any_of(keys.begin(), keys.end(), [](const std::string& k) { return k.empty(); });
  };
  return {e.memory_type.empty(), any_empty(e.subjects), any_empty(e.keywords), any_empty(e.tags)};
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
  std::unique_ptr<EntryShard[]> entry_shards;
  IndexMap type_index;
  IndexMap subject_index;
  IndexMap keyword_index;
  IndexMap tag_index;

  // Calls fn(index, order, key) for each non-empty key of `e`, index by
  // index in the order of IndexShardLocks (the empty key is never indexed).
  template <class Fn>
  void ForEachKey(const MetadataEntry& e, Fn&& fn) {
    if (!e.memory_type.empty()) fn(type_index, 0, e.memory_type);
    for (const auto& key : e.subjects) {
      if (!key.empty()) fn(subject_index, 1, key);
    }
    for (const auto& key : e.keywords) {
      if (!key.empty()) fn(keyword_index, 2, key);
    }
    for (const auto& key : e.tags) {
      if (!key.empty()) fn(tag_index, 3, key);
    }
  }

  // insert_entry once the identifier's entry_map shard is write-locked.
  //
  // Every index shard that the new entry's keys, or the replaced entry's,
  // fall in is write-locked for the whole insert. Strong guarantee: all
  // that may allocate (new keys in the indexes, room in their lists, a
  // slot, the summary) is made ready first, changing nothing a reader can
  // see; a failure there undoes the keys it made and rethrows. What follows
  // allocates nothing.
  void InsertLocked(EntryShard& shard, StoredEntry&& stored, uint64_t hash) {
    const MetadataEntry& next = stored.entry;
    const int64_t found = shard.Find(next.memory_id, hash);
    const MetadataEntry* old = found < 0 ? nullptr : &shard.At(static_cast<size_t>(found)).entry;
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
      lists.reserve(1 + next.subjects.size() + next.keywords.size() + next.tags.size());
      ForEachKey(next, [&](IndexMap& index, size_t, const std::string& key) {
        PrepareKey(index, key, insert, &lists);
      });
      if (old == nullptr) {
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
    if (old == nullptr) {
      slot = shard.Add(std::move(stored), summary, hash);
    } else {
      slot = static_cast<size_t>(found);
      CountEmptyKeys(EmptyKeysOf(*old), -1);
      ForEachKey(*old, [id = &old->memory_id](IndexMap& index, size_t, const std::string& key) {
        IndexRemove(index, key, id);
      });
      shard.Replace(slot, std::move(stored), summary);
    }
    CountEmptyKeys(added, +1);

    // After the removals above, `id` is listed nowhere: an identifier is
    // listed exactly under the keys of its stored entry, and all changes go
    // through here under the shard's write lock. So the new keys only
    // append. The lists point at the slot's memory_id, which never moves.
    IdList::Id id = &shard.At(slot).entry.memory_id;
    for (const PreparedList& list : lists) list.value->ids.Append(id);
  }
};

MetadataStore::MetadataStore() : impl_(new Impl) {}
MetadataStore::~MetadataStore() { delete impl_; }

void MetadataStore::Swap(MetadataStore& other) noexcept { std::swap(impl_, other.impl_); }

void MetadataStore::insert_entry(MetadataEntry entry) {
  // The lowercase forms are computed before any lock is taken.
  StoredEntry stored = MakeStored(std::move(entry));
  const uint64_t hash = impl_->seed(stored.entry.memory_id);

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
  for (IndexMap* index :
       {&m.type_index, &m.subject_index, &m.keyword_index, &m.tag_index}) {
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
        const EntrySummary summary = shard.Summarize(stored.entry, m.seed);
        slot = static_cast<int64_t>(shard.Add(std::move(stored), summary, hashes[i]));
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
        const EntrySummary summary = shard.Summarize(stored.entry, m.seed);
        shard.PrepareReplace();
        shard.Replace(static_cast<size_t>(slot), std::move(stored), summary);
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

  // What searches narrow with: each shard's time order and user lists,
  // made now rather than by the first search, and the entries holding
  // empty keys.
  RunInHalves(two, [&](int half) {
    for (size_t s = static_cast<size_t>(half); s < m.shard_count; s += 2) {
      m.entry_shards[s].SortByTime();
      m.entry_shards[s].GroupByUser();
    }
  });
  for (const StoredEntry* stored : last) {
    if (stored != nullptr) m.CountEmptyKeys(EmptyKeysOf(stored->entry), +1);
  }
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

size_t MetadataStore::Size() const {
  size_t total = 0;
  for (size_t i = 0; i < impl_->shard_count; ++i) {
    std::shared_lock lock(impl_->entry_shards[i].mutex);
    total += impl_->entry_shards[i].size();
  }
  return total;
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
        for (uint32_t slot : it->second) ids->push_back(&shard.At(slot).entry.memory_id);
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

MetadataStore::Reader::Reader(const MetadataStore& store) : store_(store) {
  for (size_t i = 0; i < store_.impl_->shard_count; ++i) store_.impl_->entry_shards[i].mutex.lock_shared();
}

MetadataStore::Reader::~Reader() {
  for (size_t i = store_.impl_->shard_count; i-- > 0;) {
    store_.impl_->entry_shards[i].mutex.unlock_shared();
  }
}

namespace {

uint64_t OrdinalOf(size_t shard, size_t slot) { return (static_cast<uint64_t>(shard) << 40) | slot; }

}  // namespace

void MetadataStore::Reader::ForEachId(const std::vector<const std::string*>& ids,
                                      const EntryFn& fn) const {
  // An entry's place (shard, slot) sits in its record; its summary is found
  // from there. The place is asked for first, the summary once the place
  // has arrived.
  constexpr size_t kPlaceAhead = 16;
  constexpr size_t kSummaryAhead = 8;
  const EntryShard* shards = store_.impl_->entry_shards.get();
  const size_t n = ids.size();
  for (size_t k = 0; k < n; ++k) {
    if (k + kPlaceAhead < n) __builtin_prefetch(&StoredOf(ids[k + kPlaceAhead]).shard);
    if (k + kSummaryAhead < n) {
      const StoredEntry& ahead = StoredOf(ids[k + kSummaryAhead]);
      __builtin_prefetch(&shards[ahead.shard].SummaryAt(ahead.slot));
    }
    const StoredEntry& stored = StoredOf(ids[k]);
    const EntryShard& shard = shards[stored.shard];
    if (!fn(stored, shard.SummaryAt(stored.slot), OrdinalOf(stored.shard, stored.slot))) return;
  }
}

void MetadataStore::Reader::WindowSlots(size_t shard, std::optional<double> newest,
                                        std::optional<double> oldest,
                                        std::optional<uint32_t> user_hash,
                                        std::vector<uint32_t>* slots) const {
  const EntryShard& s = store_.impl_->entry_shards[shard];
  s.SortByTime();
  const EntryShard::Window w = s.TimeWindow(newest, oldest);
  auto take = [&](const EntryShard::TimeItem* from, const EntryShard::TimeItem* to) {
    for (const EntryShard::TimeItem* t = from; t != to; ++t) {
      if (!user_hash || t->user_hash == *user_hash) slots->push_back(t->slot);
    }
  };
  take(w.begin, w.end);
  take(w.nan, w.last);
}

size_t MetadataStore::Reader::WindowSize(std::optional<double> newest,
                                         std::optional<double> oldest) const {
  size_t total = 0;
  for (size_t i = 0; i < store_.impl_->shard_count; ++i) {
    const EntryShard& s = store_.impl_->entry_shards[i];
    s.SortByTime();
    const EntryShard::Window w = s.TimeWindow(newest, oldest);
    total += static_cast<size_t>((w.end - w.begin) + (w.last - w.nan));
  }
  return total;
}

const StoredEntry& MetadataStore::Reader::Entry(size_t shard, size_t slot) const {
  return store_.impl_->entry_shards[shard].At(slot);
}

const EntrySummary& MetadataStore::Reader::Summary(size_t shard, size_t slot) const {
  return store_.impl_->entry_shards[shard].SummaryAt(slot);
}

std::span<const std::string> MetadataStore::Reader::ShardTypes(size_t shard) const {
  return store_.impl_->entry_shards[shard].types;
}

size_t MetadataStore::Reader::ShardSlots(size_t shard) const {
  return store_.impl_->entry_shards[shard].size();
}

void MetadataStore::Reader::ForEachByTime(std::optional<double> newest,
                                          std::optional<double> oldest,
                                          const EntryFn& fn) const {
  using Item = EntryShard::TimeItem;
  const size_t count = store_.impl_->shard_count;
  const EntryShard* shards = store_.impl_->entry_shards.get();
  // Each shard's order is [newer than `newest`][the window][older than
  // `oldest`][NaN]. The windows are merged first (at each step the
  // earliest head; equal times go to the lower shard, which is snapshot
  // order), then the NaN times, shard by shard and so in snapshot order.
  struct Cursor {
    const Item* at;
    const Item* end;
    const Item* nan;
    const Item* nan_end;
  };
  std::vector<Cursor> cursors(count);
  for (size_t i = 0; i < count; ++i) {
    shards[i].SortByTime();
    const EntryShard::Window w = shards[i].TimeWindow(newest, oldest);
    cursors[i] = Cursor{w.begin, w.end, w.nan, w.last};
  }
  for (;;) {
    size_t best = count;
    for (size_t i = 0; i < count; ++i) {
      if (cursors[i].at == cursors[i].end) continue;
      // Strictly newer only: equal times stay with the lower shard.
      if (best == count || cursors[i].at->created_at > cursors[best].at->created_at) best = i;
    }
    if (best == count) break;
    Cursor& cursor = cursors[best];
    const uint32_t slot = (cursor.at++)->slot;
    const EntryShard& shard = shards[best];
    // Each step lands somewhere else in memory: ask early for what the
    // shard's next steps read (entry and summary two ahead, then the
    // identifier text one ahead, whose pointer that first request fetched).
    if (cursor.end - cursor.at > 1) {
      const uint32_t ahead = cursor.at[1].slot;
      __builtin_prefetch(&shard.At(ahead));
      __builtin_prefetch(&shard.SummaryAt(ahead));
    }
    if (cursor.at != cursor.end) __builtin_prefetch(shard.At(cursor.at->slot).entry.memory_id.data());
    if (!fn(shard.At(slot), shard.SummaryAt(slot), OrdinalOf(best, slot))) return;
  }
  for (size_t i = 0; i < count; ++i) {
    for (const Item* t = cursors[i].nan; t != cursors[i].nan_end; ++t) {
      if (!fn(shards[i].At(t->slot), shards[i].SummaryAt(t->slot), OrdinalOf(i, t->slot))) return;
    }
  }
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
