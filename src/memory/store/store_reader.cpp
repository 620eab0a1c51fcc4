#include <algorithm>
#include <memory>
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
  auto take = [&](const EntryShard::TimeItem* from, const EntryShard::TimeItem* to) {
    for (const EntryShard::TimeItem* t = from; t != to; ++t) {
      if (!user_hash || t->user_hash == *user_hash) slots->push_back(t->slot);
    }
  };
  for (std::span<const EntryShard::TimeItem> run : s.TimeRuns()) {
    const EntryShard::Window w = EntryShard::WindowOf(run, newest, oldest);
    take(w.begin, w.end);
    take(w.nan, w.last);
  }
}

size_t MetadataStore::Reader::WindowSize(std::optional<double> newest,
                                         std::optional<double> oldest) const {
  size_t total = 0;
  for (size_t i = 0; i < store_.impl_->shard_count; ++i) {
    const EntryShard& s = store_.impl_->entry_shards[i];
    s.SortByTime();
    for (std::span<const EntryShard::TimeItem> run : s.TimeRuns()) {
      const EntryShard::Window w = EntryShard::WindowOf(run, newest, oldest);
      total += static_cast<size_t>((w.end - w.begin) + (w.last - w.nan));
    }
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
  // Each run of a shard's time order is [newer than `newest`][the
  // window][older than `oldest`][NaN]. The windows are merged first (at
  // each step the earliest head; equal times go to the lower shard, which
  // is snapshot order, and within a shard to the lower slot), then the NaN
  // times, shard by shard in slot order and so in snapshot order.
  struct Cursor {
    const Item* at;
    const Item* end;
    const Item* nan;
    const Item* nan_end;
  };
  constexpr size_t kRuns = std::tuple_size_v<EntryShard::Runs>;
  const size_t cursor_count = kRuns * count;  // cursor c walks a run of shard c / kRuns
  std::vector<Cursor> cursors(cursor_count);
  for (size_t i = 0; i < count; ++i) {
    shards[i].SortByTime();
    const EntryShard::Runs runs = shards[i].TimeRuns();
    for (size_t r = 0; r < kRuns; ++r) {
      const EntryShard::Window w = EntryShard::WindowOf(runs[r], newest, oldest);
      cursors[kRuns * i + r] = Cursor{w.begin, w.end, w.nan, w.last};
    }
  }
  for (;;) {
    size_t best = cursor_count;
    for (size_t c = 0; c < cursor_count; ++c) {
      if (cursors[c].at == cursors[c].end) continue;
      if (best == cursor_count) {
        best = c;
        continue;
      }
      const Item& a = *cursors[c].at;
      const Item& b = *cursors[best].at;
      // Strictly newer only, but for the other run of the same shard.
      if (a.created_at > b.created_at ||
          (a.created_at == b.created_at && c / kRuns == best / kRuns && a.slot < b.slot)) {
        best = c;
      }
    }
    if (best == cursor_count) break;
    Cursor& cursor = cursors[best];
    const size_t shard_index = best / kRuns;
    const uint32_t slot = (cursor.at++)->slot;
    const EntryShard& shard = shards[shard_index];
    // Each step lands somewhere else in memory: ask early for what the
    // shard's next steps read (entry and summary two ahead, then the
    // identifier text one ahead, whose pointer that first request fetched).
    if (cursor.end - cursor.at > 1) {
      const uint32_t ahead = cursor.at[1].slot;
      __builtin_prefetch(&shard.At(ahead));
      __builtin_prefetch(&shard.SummaryAt(ahead));
    }
    if (cursor.at != cursor.end) __builtin_prefetch(shard.At(cursor.at->slot).memory_id.data());
    if (!fn(shard.At(slot), shard.SummaryAt(slot), EntryOrdinal(shard_index, slot))) return;
  }
  std::vector<uint32_t> nan;
  for (size_t i = 0; i < count; ++i) {
    nan.clear();
    for (size_t r = 0; r < kRuns; ++r) {
      const Cursor& c = cursors[kRuns * i + r];
      for (const Item* t = c.nan; t != c.nan_end; ++t) nan.push_back(t->slot);
    }
    std::sort(nan.begin(), nan.end());
    for (uint32_t slot : nan) {
      if (!fn(shards[i].At(slot), shards[i].SummaryAt(slot), EntryOrdinal(i, slot))) return;
    }
  }
}

namespace {

// One shard's part of a walk through a user's entries newest first: either
// the user's own time order (a run of slots a type), or, for a user holding
// a large share of the shard, the shard's time order (or its orders of the
// query's types) with other users' entries (and other types) passed over.
// Each has the window part and then the NaN times.
class UserCursor {
 public:
  enum class Walk { kUserOrder, kShardOrder, kTypeOrders };

  // For kTypeOrders, the caller has brought the shard's type orders up to
  // date (SortByTypeTime).
  UserCursor(const EntryShard& shard, size_t index, uint32_t user_hash, std::vector<int64_t> codes,
             std::optional<double> newest, std::optional<double> oldest, Walk walk)
      : shard_(shard), index_(index), user_hash_(user_hash), codes_(std::move(codes)) {
    if (walk == Walk::kShardOrder) {
      shard.SortByTime();
      for (auto run : shard.TimeRuns()) Window(run, newest, oldest);
    } else if (walk == Walk::kTypeOrders) {
      for (int64_t code : codes_) {
        for (auto run : shard.TypeRuns(static_cast<size_t>(code))) Window(run, newest, oldest);
      }
      codes_.clear();  // each order holds its type alone
    } else {
      order_ = shard.UserTime(user_hash);
      if (codes_.empty()) {
        Window(order_->All(), newest, oldest);
      } else {
        // One run a type: their union in time order is merged by the walk.
        for (int64_t code : codes_) {
          const EntryShard::UserTimeOrder::Run run = order_->OfType(static_cast<uint32_t>(code));
          if (!run.slots.empty()) Window(run, newest, oldest);
        }
      }
    }
  }

  size_t shard() const { return index_; }

  // The next slot of the window part in walk order (across this shard's
  // runs; equal times by slot), or -1 when it is done.
  int64_t Head() {
    int64_t best = -1;
    if (!item_runs_.empty()) {
      for (size_t r = 0; r < item_runs_.size(); ++r) {
        ItemRun& run = item_runs_[r];
        while (run.at != run.end && !Wanted(*run.at)) ++run.at;
        if (run.at == run.end) continue;
        if (best < 0 || EntryShard::Earlier(*run.at, *item_runs_[best_run_].at)) {
          best = run.at->slot;
          best_run_ = r;
        }
      }
      return best;
    }
    for (size_t r = 0; r < runs_.size(); ++r) {
      const Run& run = runs_[r];
      if (run.at == run.end) continue;
      const Run& b = runs_[best_run_];
      if (best < 0 || *run.time > *b.time || (*run.time == *b.time && *run.at < *b.at)) {
        best = *run.at;
        best_run_ = r;
      }
    }
    return best;
  }

  // The time of the slot Head() returned.
  double HeadTime() const {
    return item_runs_.empty() ? *runs_[best_run_].time : item_runs_[best_run_].at->created_at;
  }
  void Pop() {
    if (!item_runs_.empty()) {
      ++item_runs_[best_run_].at;
    } else {
      ++runs_[best_run_].at;
      ++runs_[best_run_].time;
    }
  }

  // Appends the NaN-time slots of the walk.
  void NanSlots(std::vector<std::pair<size_t, uint32_t>>* out) const {
    for (const ItemRun& run : item_runs_) {
      for (const EntryShard::TimeItem* t = run.nan; t != run.nan_end; ++t) {
        if (Wanted(*t)) out->emplace_back(index_, t->slot);
      }
    }
    for (const Run& run : runs_) {
      for (const uint32_t* s = run.nan; s != run.nan_end; ++s) out->emplace_back(index_, *s);
    }
  }

 private:
  struct Run {
    const uint32_t* at;
    const uint32_t* end;
    const uint32_t* nan;
    const uint32_t* nan_end;
    const double* time;  // of *at
  };
  struct ItemRun {
    const EntryShard::TimeItem* at;
    const EntryShard::TimeItem* end;
    const EntryShard::TimeItem* nan;
    const EntryShard::TimeItem* nan_end;
  };

  bool Wanted(const EntryShard::TimeItem& t) const {
    if (t.user_hash != user_hash_) return false;
    if (codes_.empty()) return true;
    const int64_t code = shard_.SummaryAt(t.slot).type_code;
    return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
  }

  void Window(std::span<const EntryShard::TimeItem> order, std::optional<double> newest,
              std::optional<double> oldest) {
    const EntryShard::Window w = EntryShard::WindowOf(order, newest, oldest);
    item_runs_.push_back(ItemRun{w.begin, w.end, w.nan, w.last});
  }

  void Window(EntryShard::UserTimeOrder::Run run, std::optional<double> newest,
              std::optional<double> oldest) {
    const double* first = run.times;
    const double* last = first + run.slots.size();
    const double* nan = std::partition_point(first, last, [](double t) { return !std::isnan(t); });
    const double* begin = first;
    const double* end = nan;
    if (newest) begin = std::partition_point(first, nan, [&](double t) { return t > *newest; });
    if (oldest && !std::isnan(*oldest)) {
      end = std::partition_point(begin, nan, [&](double t) { return t >= *oldest; });
    }
    const uint32_t* slots = run.slots.data();
    runs_.push_back(Run{slots + (begin - first), slots + (std::max(begin, end) - first),
                        slots + (nan - first), slots + run.slots.size(), begin});
  }

  const EntryShard& shard_;
  size_t index_;
  uint32_t user_hash_;
  std::vector<int64_t> codes_;
  std::shared_ptr<const EntryShard::UserTimeOrder> order_;  // keeps the runs' slots
  std::vector<Run> runs_;
  std::vector<ItemRun> item_runs_;
  size_t best_run_ = 0;
};

// The codes of `types` in `shard`, each once (a type the query repeats is
// walked once); types the shard never held are left out.
std::vector<int64_t> TypeCodes(const EntryShard& shard, const std::vector<std::string>& types,
                               const SeededStringHash& seed) {
  std::vector<int64_t> codes;
  for (const std::string& type : types) {
    const int64_t code = shard.FindTypeCode(type, seed);
    if (code >= 0 && std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  }
  return codes;
}

// How to walk the `listed` entries of a user in `shard` (grouped by user),
// of the types `codes` (none: any type).
UserCursor::Walk ChooseWalk(const EntryShard& shard, size_t listed, const std::vector<int64_t>& codes) {
  // A user holding an eighth of the shard or more is met often enough in
  // the shard's own time order; sorting theirs would cost more.
  if (8 * listed < shard.size()) return UserCursor::Walk::kUserOrder;
  if (codes.empty()) return UserCursor::Walk::kShardOrder;
  // Few entries of the types asked for, against the user's many: their own
  // orders pass over fewer of them, with no summary read.
  shard.SortByTypeTime();
  size_t typed = 0;
  for (int64_t code : codes) {
    for (auto run : shard.TypeRuns(static_cast<size_t>(code))) typed += run.size();
  }
  return typed < listed ? UserCursor::Walk::kTypeOrders : UserCursor::Walk::kShardOrder;
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
  cursors.reserve(m.shard_count);
  for (size_t i = 0; i < m.shard_count; ++i) {
    const EntryShard& shard = m.entry_shards[i];
    std::vector<int64_t> codes = TypeCodes(shard, types, m.seed);
    if (!types.empty() && codes.empty()) continue;
    shard.GroupByUser();
    // The user's list holds each of their entries (and maybe some that have
    // left them): without one, the shard has none to walk.
    const size_t listed = shard.UserSlotCount(user_hash);
    if (listed == 0) continue;
    const UserCursor::Walk walk = ChooseWalk(shard, listed, codes);
    cursors.emplace_back(shard, i, user_hash, std::move(codes), newest, oldest, walk);
  }
  auto visit = [&](size_t shard_index, uint32_t slot) {
    const EntryShard& shard = m.entry_shards[shard_index];
    return fn(shard.At(slot), shard.SummaryAt(slot), EntryOrdinal(shard_index, slot));
  };
  // Newest first; equal times in snapshot order (shard, then slot): the
  // cursors are in shard order, and only a strictly newer head wins.
  // Each head's time is kept beside it: reading it from the shard at every
  // comparison costs a chain of dependent loads, most of a short walk.
  std::vector<int64_t> heads(cursors.size());
  std::vector<double> times(cursors.size());
  auto advance = [&](size_t c) {
    heads[c] = cursors[c].Head();
    if (heads[c] >= 0) {
      times[c] = cursors[c].HeadTime();
      // What the visit of this head reads, asked for before it is needed.
      const EntryShard& shard = m.entry_shards[cursors[c].shard()];
      __builtin_prefetch(&shard.At(static_cast<uint64_t>(heads[c])));
      __builtin_prefetch(&shard.SummaryAt(static_cast<uint64_t>(heads[c])));
    }
  };
  for (size_t c = 0; c < cursors.size(); ++c) advance(c);
  for (;;) {
    size_t best = cursors.size();
    for (size_t c = 0; c < cursors.size(); ++c) {
      if (heads[c] < 0) continue;
      if (best == cursors.size() || times[c] > times[best]) best = c;
    }
    if (best == cursors.size()) break;
    const auto slot = static_cast<uint32_t>(heads[best]);
    cursors[best].Pop();
    advance(best);
    if (!visit(cursors[best].shard(), slot)) return;
  }
  // Then the NaN times, in snapshot order.
  std::vector<std::pair<size_t, uint32_t>> nan;
  for (const UserCursor& c : cursors) c.NanSlots(&nan);
  std::sort(nan.begin(), nan.end());
  for (const auto& [shard_index, slot] : nan) {
    if (!visit(shard_index, slot)) return;
  }
}

}  // namespace velmar::memory
