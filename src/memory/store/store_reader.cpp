#include <algorithm>
#include <cmath>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "memory/store/metadata_store.hpp"
#include "memory/store/store_impl.hpp"

// MetadataStore::Reader: reading every entry_map shard under its read lock.

namespace velmar::memory {

MetadataStore::Reader::Reader(const MetadataStore& store) : store_(store) {
  for (size_t i = 0; i < store_.impl_->shard_count; ++i) store_.impl_->entry_shards[i].mutex.lock_shared();
}

MetadataStore::Reader::~Reader() {
  for (size_t i = store_.impl_->shard_count; i-- > 0;) {
    store_.impl_->entry_shards[i].mutex.unlock_shared();
  }
}

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
    // A user's list may still hold a deleted slot.
    if (shard.IsDeleted(stored.slot)) continue;
    if (!fn(stored, shard.SummaryAt(stored.slot), EntryOrdinal(stored.shard, stored.slot))) return;
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
    if (!fn(shard.At(slot), shard.SummaryAt(slot), EntryOrdinal(best, slot))) return;
  }
  for (size_t i = 0; i < count; ++i) {
    for (const Item* t = cursors[i].nan; t != cursors[i].nan_end; ++t) {
      if (!fn(shards[i].At(t->slot), shards[i].SummaryAt(t->slot), EntryOrdinal(i, t->slot))) return;
    }
  }
}

namespace {

// A walk through one run of a user's slots newest first: the window part,
// then the NaN times.
struct UserCursor {
  size_t shard;
  const uint32_t* at;
  const uint32_t* end;
  const uint32_t* nan;
  const uint32_t* nan_end;
};

// The cursor of `slots` (newest first, NaN last) for the window.
UserCursor WindowOf(const EntryShard& shard, size_t index, std::span<const uint32_t> slots,
                    std::optional<double> newest, std::optional<double> oldest) {
  auto time = [&](uint32_t slot) { return shard.SummaryAt(slot).created_at; };
  const uint32_t* first = slots.data();
  const uint32_t* last = first + slots.size();
  const uint32_t* nan = std::partition_point(first, last, [&](uint32_t s) { return !std::isnan(time(s)); });
  const uint32_t* begin = first;
  const uint32_t* end = nan;
  if (newest) begin = std::partition_point(first, nan, [&](uint32_t s) { return time(s) > *newest; });
  if (oldest && !std::isnan(*oldest)) {
    end = std::partition_point(begin, nan, [&](uint32_t s) { return time(s) >= *oldest; });
  }
  return UserCursor{index, begin, std::max(begin, end), nan, last};
}

}  // namespace

void MetadataStore::Reader::ForEachOfUserByTime(std::string_view user_id,
                                                const std::vector<std::string>& types,
                                                std::optional<double> newest,
                                                std::optional<double> oldest,
                                                const EntryFn& fn) const {
  const Impl& m = *store_.impl_;
  const uint32_t user_hash = UserHash(user_id);
  std::vector<UserCursor> cursors;
  for (size_t i = 0; i < m.shard_count; ++i) {
    const EntryShard& shard = m.entry_shards[i];
    shard.GroupUsersByTime();
    if (types.empty()) {
      cursors.push_back(WindowOf(shard, i, shard.UserTimeSlots(user_hash, std::nullopt), newest, oldest));
      continue;
    }
    std::vector<int64_t> codes;  // a type the query repeats is walked once
    for (const std::string& type : types) {
      const int64_t code = shard.FindTypeCode(type, m.seed);
      if (code < 0 || std::find(codes.begin(), codes.end(), code) != codes.end()) continue;
      codes.push_back(code);
      const auto slots = shard.UserTimeSlots(user_hash, static_cast<uint32_t>(code));
      cursors.push_back(WindowOf(shard, i, slots, newest, oldest));
    }
  }
  auto visit = [&](size_t shard_index, uint32_t slot) {
    const EntryShard& shard = m.entry_shards[shard_index];
    return fn(shard.At(slot), shard.SummaryAt(slot), EntryOrdinal(shard_index, slot));
  };
  // Newest first; equal times in snapshot order (shard, then slot).
  for (;;) {
    UserCursor* best = nullptr;
    double best_time = 0;
    for (UserCursor& c : cursors) {
      if (c.at == c.end) continue;
      const double t = m.entry_shards[c.shard].SummaryAt(*c.at).created_at;
      if (best == nullptr || t > best_time ||
          (t == best_time && (c.shard < best->shard || (c.shard == best->shard && *c.at < *best->at)))) {
        best = &c;
        best_time = t;
      }
    }
    if (best == nullptr) break;
    const uint32_t slot = *best->at++;
    if (!visit(best->shard, slot)) return;
  }
  // Then the NaN times, in snapshot order.
  std::vector<std::pair<size_t, uint32_t>> nan;
  for (const UserCursor& c : cursors) {
    for (const uint32_t* s = c.nan; s != c.nan_end; ++s) nan.emplace_back(c.shard, *s);
  }
  std::sort(nan.begin(), nan.end());
  for (const auto& [shard_index, slot] : nan) {
    if (!visit(shard_index, slot)) return;
  }
}

}  // namespace velmar::memory
