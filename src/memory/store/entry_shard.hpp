#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "memory/store/sharded_map.hpp"
#include "memory/store/slot_index.hpp"
#include "memory/store/stored_entry.hpp"

namespace velmar::memory {

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

  // The time order split by memory type, in one buffer: type `code`'s
  // items are items[starts[code], starts[code + 1]), in time order. One
  // buffer rather than one vector a type, so that a shard of hundreds of
  // types is made and merged in one pass, with one allocation.
  struct TypeOrders {
    std::vector<TimeItem> items;
    std::vector<size_t> starts;  // empty, or one more than the types
    std::span<const TimeItem> Of(size_t code) const {
      if (code + 1 >= starts.size()) return {};  // a type newer than the orders
      return std::span(items).subspan(starts[code], starts[code + 1] - starts[code]);
    }
  };

  // The items of a time window in a time order: [begin, end) newer than
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
  // Every slot in time order, as two runs, each in time order, a slot in
  // one of them: by_time, and the latest additions in recent_time. Fresh
  // items are merged into recent_time, and recent_time into by_time once
  // it holds an eighth as many: a batch then costs a copy of the small
  // run rather than of every item. A noted slot's created_at, user or
  // type changed, and its old item is dropped on the merge.
  mutable std::mutex time_mutex;
  mutable std::vector<TimeItem> by_time;
  mutable std::vector<TimeItem> recent_time;
  mutable std::vector<uint32_t> time_pending;
  mutable size_t time_upto = 0;
  // The same runs split by memory type, for a user too large for a time
  // order of their own who asks for a few types. Made with the other
  // views after a large batch or a load (or by the first reader that
  // wants them), then kept up to date with the time order; dropped when
  // an allocation for them fails, and made again when next wanted.
  mutable TypeOrders by_type;
  mutable TypeOrders recent_type;
  mutable bool by_type_kept = false;

  // The slots of each user, by UserHash of user_id (users sharing a hash
  // share a list). A noted slot's entry moved to another user; it stays
  // behind in the old list (and may come back twice): readers check.
  mutable std::mutex users_mutex;
  mutable std::unordered_map<uint32_t, std::vector<uint32_t>> user_slots;
  mutable std::vector<uint32_t> users_pending;
  mutable size_t users_upto = 0;

  // Bumped by every change of an entry (under the write lock), so that
  // what a reader made from the entries can tell when it is stale.
  uint64_t write_generation = 0;

  // One user's slots newest first (time order, equal times by slot), all
  // of them and split by memory type: made from user_slots by a walk of
  // that user. Kept, until the shard changes, for users with many entries;
  // a few are sorted again each time.
  // Each slot's created_at is kept beside it, so that a walk merging the
  // runs of several shards compares times without reading each summary.
  struct UserTimeOrder {
    uint64_t generation = 0;
    std::vector<uint32_t> slots;
    std::vector<double> times;  // of slots[i]
    // The same slots grouped by type_code (in code order), each group in
    // time order; a type's group starts at the `begin` of its run.
    std::vector<uint32_t> typed;
    std::vector<double> typed_times;
    struct TypeRun {
      uint32_t type_code;
      uint32_t begin;
    };
    std::vector<TypeRun> type_runs;

    // Slots newest first, and their times.
    struct Run {
      std::span<const uint32_t> slots;
      const double* times;
    };
    Run All() const { return {slots, times.data()}; }
    // The user's slots of one type (empty when none).
    Run OfType(uint32_t type_code) const;
  };
  static constexpr size_t kKeepUserTimeFrom = 32;
  mutable std::mutex user_time_mutex;
  mutable std::unordered_map<uint32_t, std::shared_ptr<const UserTimeOrder>> user_time;

  size_t dead = 0;  // deleted slots

  // The number of slots, deleted ones included.
  size_t size() const { return ids.count(); }
  // The number of entries: slots not deleted.
  size_t live_count() const { return size() - dead; }
  bool IsDeleted(size_t slot) const { return SummaryAt(slot).deleted; }
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
  static void SortBySlotTime(std::vector<TimeItem>& items);

  // Brings the time order (and its split by type, when kept) up to date.
  // The caller holds the shard's read lock (or its write lock).
  void SortByTime() const;

  // Brings the time order and its split by type up to date, making the
  // split if need be. Under the shard's read lock (or its write lock). May
  // throw, leaving the split to the next call.
  void SortByTypeTime() const;

  // The time order of the entries whose user has this hash. The caller
  // holds the shard's read lock (or its write lock).
  std::shared_ptr<const UserTimeOrder> UserTime(uint32_t user_hash) const;

  // How many slots user_slots lists for this hash (an upper bound on the
  // user's entries). After GroupByUser(), under the same lock.
  size_t UserSlotCount(uint32_t user_hash) const;

  // The code of `type` among this shard's memory types, or -1 when no
  // entry of the shard has ever had it.
  int64_t FindTypeCode(std::string_view type, const SeededStringHash& seed) const;

  // The two runs of the time order, which the caller has brought up to
  // date (SortByTime), and of one type's order (SortByTypeTime).
  using Runs = std::array<std::span<const TimeItem>, 2>;
  Runs TimeRuns() const { return {by_time, recent_time}; }
  Runs TypeRuns(size_t code) const { return {by_type.Of(code), recent_type.Of(code)}; }
  // The window of an order of TimeItems.
  static Window WindowOf(std::span<const TimeItem> order, std::optional<double> newest,
                         std::optional<double> oldest);

  // Brings user_slots up to date. The caller holds the shard's read lock
  // (or its write lock). On failure a slot may be listed twice, which
  // readers allow for.
  void GroupByUser() const;

  // The slot of `id` (whose seeded hash is `hash`), or -1.
  int64_t Find(std::string_view id, uint64_t hash) const {
    return ids.Find(hash, [&](size_t slot) { return At(slot).memory_id == id; });
  }

  // Makes sure that the next Add allocates nothing: room in `ids` and a
  // chunk with room for the slot. May throw; changes nothing visible (an
  // empty chunk at the end holds no entry).
  void PrepareAdd();

  // Appends `stored`, whose identifier is not in this shard yet, and returns
  // its slot. Allocates nothing after PrepareAdd().
  size_t Add(StoredEntry&& stored, const EntrySummary& summary, uint64_t hash);

  // Room to note one more slot for each lazy view, so that the next
  // Replace allocates nothing. May throw.
  void PrepareReplace();

  // Overwrites the entry in `slot` with a newer one of the same memory_id.
  // After PrepareReplace().
  // A deleted slot is filled again.
  void Replace(size_t slot, StoredEntry&& next, const EntrySummary& summary) noexcept;

  // Marks the entry in `slot` deleted and drops all of it but its
  // memory_id. Needs room for one more slot in time_pending, where the
  // time order notes it.
  void MarkDeleted(size_t slot) noexcept;

  // The summary of `e`. May add its memory_type to `types`, which changes
  // nothing a search can see; may throw, leaving `types` as it was.
  EntrySummary Summarize(const StoredEntry& e, const SeededStringHash& seed);

  // Makes room for `count` entries in all.
  void Reserve(size_t count) {
    ids.Reserve(count);
    chunks.reserve((count + kChunk - 1) / kChunk);
  }

 private:
  void SortByTimeLocked() const;
  uint32_t TypeCode(std::string_view type, const SeededStringHash& seed);
};

}  // namespace velmar::memory
