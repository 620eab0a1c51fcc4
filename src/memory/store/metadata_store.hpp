#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory/store/stored_entry.hpp"

namespace velmar::memory {

// Every entry under its memory_id, plus the type, subject, keyword and tag
// indexes that list the identifiers carrying each key. Safe for concurrent
// use: all access goes through per-shard reader-writer locks.
//
// The public interface below is what searches, statistics and persistence
// build on; the layout behind it belongs to the files of this folder.
class MetadataStore {
 public:
  MetadataStore();
  ~MetadataStore();
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // Stores the entry under its memory_id, replacing an older one, and brings
  // the four secondary indexes in step. Strong guarantee: when it throws
  // (std::bad_alloc), the store is exactly as it was.
  void Insert(MetadataEntry entry);

  // Stores every entry of `entries` with the same outcome as Insert
  // on each, in order: a later entry with the same memory_id wins, and every
  // identifier list ends up in the same order. Into an empty store this runs
  // with every shard locked once, not entry by entry, and returns the
  // memory_ids that occur more than once in `entries`, each once, sorted
  // (into a store that holds entries already: nothing).
  std::vector<std::string> BulkLoad(std::vector<MetadataEntry> entries);
  // BulkLoad of entries already in the store's form, made with Pool(), in
  // order piece after piece.
  std::vector<std::string> BulkLoad(StoredPieces pieces);

  // The pool of this store's texts, for entries made to be stored here.
  TextPool& Pool();

  // Deletes the entries stored under `memory_ids` for which `matches` (when
  // given) holds, all in one step: every lock of the store is held
  // meanwhile, so no reader sees some of them gone and others not, and no
  // insert runs in between. Unknown identifiers are passed over and a
  // repeated one counts once. Each key an entry carried stays in its index,
  // maybe with an empty list (as after a replacement). Returns the number
  // deleted. Strong guarantee: when it throws (std::bad_alloc), nothing is
  // deleted.
  size_t Delete(const std::vector<std::string>& memory_ids,
                const std::function<bool(const StoredEntry&, const EntrySummary&)>& matches = {});

  // A copy of the entry stored under `memory_id`, or nullopt.
  std::optional<MetadataEntry> Get(std::string_view memory_id) const;

  // Exchanges the contents of two stores. Neither may be in use by another
  // thread meanwhile. Lets a load fill a store of its own and keep it only
  // once every entry is in.
  void Swap(MetadataStore& other) noexcept;

  // Makes room for about `count` more entries, so that a large batch does
  // not rehash entry_map's tables again and again as it grows. A hint only.
  void Reserve(size_t count);

  // Brings the views that searches walk (each shard's time orders and user
  // lists) up to date now, instead of in the first search that needs them.
  // Best effort: what it cannot make, that search makes.
  void RefreshViews() const noexcept;

  // Copies of every entry, shard by shard in entry_map iteration order.
  std::vector<MetadataEntry> Snapshot() const;

  // Number of shards of entry_map; shards are visited in order 0..n-1.
  // A shard's runs include the slots of deleted entries (their summaries
  // say so); VisitShard passes over them.
  size_t ShardCount() const;
  // Calls fn for every entry of one entry_map shard, in table order, while
  // holding that shard's read lock. fn must not touch the store.
  void VisitShard(size_t shard, const std::function<void(const StoredEntry&)>& fn) const;
  // The same walk a run of consecutive entries at a time: the runs, joined
  // in call order, are the shard's entries in table order.
  void VisitShardRuns(size_t shard, const std::function<void(const ShardRun&)>& fn) const;

  // -- Narrowing a search --------------------------------------------------
  //
  // An entry found through the store is handed over with its summary and
  // its ordinal: its place in snapshot order (shard, then slot).
  using EntryFn = std::function<bool(const StoredEntry&, const EntrySummary&, uint64_t ordinal)>;

  // The number of entries. Taken shard by shard.
  size_t Size() const;

  // The number of entries holding the empty text as their memory_type (or
  // as one of their subjects, keywords, tags). The empty key is never
  // indexed, so such entries are listed nowhere.
  size_t EntriesWithEmptyKey(KeyIndex index) const;

  // Appends to *ids the identifiers listed under `keys` (exact keys) in
  // `index`, key after key, stopping once more than `max_ids` are gathered.
  // Returns false when it stopped. An identifier listed under two of the
  // keys appears twice.
  bool CollectIds(KeyIndex index, const std::vector<std::string>& keys, size_t max_ids,
                  std::vector<const std::string*>* ids) const;

  // The same for every key that `matches` accepts, given the key's
  // lowercase form (or, with `lowercase` false, the key itself).
  bool CollectMatchingIds(KeyIndex index, const std::function<bool(std::string_view)>& matches,
                          size_t max_ids, std::vector<const std::string*>* ids,
                          bool lowercase = true) const;

  // Read access to every entry_map shard at once: holds all of their read
  // locks for its life. Must not be made while holding a lock of the store
  // (CollectIds takes and releases its own).
  class Reader {
   public:
    explicit Reader(const MetadataStore& store);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Calls fn for the entry of each identifier (pointers gathered by
    // CollectIds), in the order given, until fn returns false. What fn gets
    // is fetched a few identifiers ahead, so that the cache misses of
    // scattered entries overlap.
    void ForEachId(const std::vector<const std::string*>& ids, const EntryFn& fn) const;

    // The distinct memory types of one shard, indexed by
    // EntrySummary::type_code.
    std::span<const std::string> ShardTypes(size_t shard) const;

    // Calls fn for entries newest first (created_at descending, equal times
    // in snapshot order, NaN times last), until fn returns false. Entries
    // newer than `newest` or older than `oldest` (when given) are passed
    // over; NaN times are never passed over.
    void ForEachByTime(std::optional<double> newest, std::optional<double> oldest,
                       const EntryFn& fn) const;

    // Appends to *slots, newest first, the slots of one shard whose
    // created_at is no newer than `newest` and no older than `oldest`
    // (absent or NaN bounds bound nothing), then those whose created_at is
    // NaN; given a user_hash, only those whose summary carries it. Safe to
    // call for different shards at once.
    void WindowSlots(size_t shard, std::optional<double> newest, std::optional<double> oldest,
                     std::optional<uint32_t> user_hash, std::vector<uint32_t>* slots) const;
    // Calls fn for the entries of the users with the hash of `user_id`,
    // (of one of `types`, when not empty), in the order of ForEachByTime,
    // and with the same window, until fn returns false. Users sharing the
    // hash are included: fn checks.
    void ForEachOfUserByTime(std::string_view user_id, const std::vector<std::string>& types,
                             std::optional<double> newest, std::optional<double> oldest,
                             const EntryFn& fn) const;

    // The number of entries WindowSlots gives without a user, all shards.
    size_t WindowSize(std::optional<double> newest, std::optional<double> oldest) const;

    const StoredEntry& Entry(size_t shard, size_t slot) const;
    const EntrySummary& Summary(size_t shard, size_t slot) const;

    // The number of slots of one shard: ordinals of that shard are below
    // EntryOrdinal(shard, ShardSlots(shard)).
    size_t ShardSlots(size_t shard) const;

   private:
    const MetadataStore& store_;
  };

  // The hash of a user_id kept in EntrySummary: equal user_ids have equal
  // hashes, so a differing hash rejects an entry without reading it.
  static uint32_t UserHash(std::string_view user_id);

  struct KeyCounts {
    size_t entries = 0;
    size_t types = 0;
    size_t subjects = 0;
    size_t keywords = 0;
    size_t tags = 0;
  };
  // Key counts of the five maps, each taken shard by shard.
  KeyCounts CountKeys() const;
  // (memory_type, length of its identifier list) for every key of type_index.
  std::vector<std::pair<std::string, size_t>> TypeDistribution() const;

  // The identifier list of one key of each secondary index (empty when the
  // key is missing). For tests and diagnostics.
  std::vector<std::string> TypeIds(const std::string& key) const;
  std::vector<std::string> SubjectIds(const std::string& key) const;
  std::vector<std::string> KeywordIds(const std::string& key) const;
  std::vector<std::string> TagIds(const std::string& key) const;

 // The layout behind this interface, shared by the files of
  // memory/store (store_impl.hpp).
  struct Impl;

 private:
  Impl* impl_;
};

}  // namespace velmar::memory
