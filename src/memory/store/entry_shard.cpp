#include "memory/store/entry_shard.hpp"

#include <algorithm>
#include <utility>

#include "common/panic.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

namespace {

// Overwrites a stored entry with a newer one of the same memory_id, leaving
// the stored memory_id string itself untouched: identifier lists point at
// it, and a reader of a list holds only that list's lock, not this entry's.
void Overwrite(StoredEntry& slot, StoredEntry&& next) noexcept {
  // Every field but memory_id, shard and slot is assigned below; a new
  // field must be too.
  static_assert(sizeof(StoredEntry) == sizeof(std::string) + 2 * sizeof(void*) + sizeof(KeyLists) +
                                           sizeof(double) + 4 * sizeof(uint32_t) +
                                           2 * sizeof(OptionalText));
  slot.user_id = next.user_id;
  slot.memory_type = next.memory_type;
  slot.keys = std::move(next.keys);
  slot.created_at = next.created_at;
  slot.access_count = next.access_count;
  slot.importance = next.importance;
  slot.confidence = next.confidence;
  slot.chat_id = std::move(next.chat_id);
  slot.content_preview = std::move(next.content_preview);
}

}  // namespace

void EntryShard::SortBySlotTime(std::vector<TimeItem>& items) {
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

namespace {

using TimeItem = EntryShard::TimeItem;

// Room in `order` for `more` items, growing by half at least so that
// batch after batch does not copy the order each time. May throw.
void MakeRoom(std::vector<TimeItem>& order, size_t more) {
  const size_t need = order.size() + more;
  if (order.capacity() < need) order.reserve(std::max(need, order.size() + order.size() / 2));
}

// Merges `fresh` (in time order, none of their slots among them) into the
// items [begin, end), writing the result so that it ends at out_end, which
// leaves room before it for all of them: out_end >= end + fresh.size(). It
// works from the back, so the items from end on may be overwritten, but
// none before begin. Each fresh item goes in after the old items it
// follows, found by looking back in growing steps: a batch of a few
// thousand into a shard of a million moves the old items in long runs, so
// this costs about a copy of them, with no item read twice and nothing
// allocated.
void MergeBack(TimeItem* items, size_t begin, size_t end, size_t out_end,
               std::span<const TimeItem> fresh) noexcept {
  size_t old_left = end;
  size_t out = out_end;
  for (size_t f = fresh.size(); f-- > 0;) {
    const TimeItem& b = fresh[f];
    // The old items that come after b: find the first of them.
    size_t lo = old_left, step = 1;
    while (lo > begin && !EntryShard::Earlier(items[lo - 1], b)) {
      const size_t hi = lo;
      lo = lo - begin > step ? lo - step : begin;
      step *= 2;
      if (EntryShard::Earlier(items[lo], b)) {
        lo = static_cast<size_t>(std::partition_point(items + lo, items + hi, [&](const TimeItem& t) {
                                   return EntryShard::Earlier(t, b);
                                 }) -
                                 items);
        break;
      }
    }
    std::move_backward(items + lo, items + old_left, items + out);
    out -= old_left - lo;
    items[--out] = b;
    old_left = lo;
  }
  // The old items that come before every fresh one move up by the room
  // left before them: none when this is the only order in the buffer.
  if (out != old_left) std::move_backward(items + begin, items + old_left, items + out);
}

// Merges `fresh` into `order`, which has room for them.
void MergeFresh(std::vector<TimeItem>& order, std::span<const TimeItem> fresh) noexcept {
  const size_t old_size = order.size();
  order.resize(old_size + fresh.size());  // within capacity
  MergeBack(order.data(), 0, old_size, order.size(), fresh);
}

// Drops the noted slots' items from every type's order.
void DropNoted(EntryShard::TypeOrders& orders, const std::vector<bool>& noted) noexcept {
  size_t out = 0;
  for (size_t c = 0; c + 1 < orders.starts.size(); ++c) {
    const size_t begin = orders.starts[c], end = orders.starts[c + 1];
    orders.starts[c] = out;
    for (size_t i = begin; i < end; ++i) {
      if (!noted[orders.items[i].slot]) orders.items[out++] = orders.items[i];
    }
  }
  if (!orders.starts.empty()) orders.starts.back() = out;
  orders.items.resize(out);
}

// An order split by type: each item goes to its type's place (code_of
// gives an item's type code, below `types`), keeping its place in the
// order among those of its type. May throw.
template <typename CodeOf>
EntryShard::TypeOrders SplitByType(std::span<const TimeItem> order, size_t types, CodeOf code_of) {
  EntryShard::TypeOrders split;
  split.starts.assign(types + 1, 0);
  for (const TimeItem& t : order) ++split.starts[code_of(t) + 1];
  for (size_t c = 1; c < split.starts.size(); ++c) split.starts[c] += split.starts[c - 1];
  split.items.resize(order.size());
  std::vector<size_t> at(split.starts.begin(), split.starts.end() - 1);
  for (const TimeItem& t : order) split.items[at[code_of(t)]++] = t;
  return split;
}

// Merges `fresh`, split by type as `orders` is, into `orders`, which has
// room for them and as many types. The last type's order moves first, so
// that no order is written before it has been read.
void MergeTyped(EntryShard::TypeOrders& orders, const EntryShard::TypeOrders& fresh) noexcept {
  std::vector<size_t>& starts = orders.starts;
  orders.items.resize(orders.items.size() + fresh.items.size());  // within capacity
  for (size_t c = starts.size() - 1; c-- > 0;) {
    const size_t new_end = starts[c + 1] + fresh.starts[c + 1];
    MergeBack(orders.items.data(), starts[c], starts[c + 1], new_end, fresh.Of(c));
    starts[c + 1] = new_end;
  }
}

}  // namespace

void EntryShard::SortByTime() const {
  std::lock_guard guard(time_mutex);
  SortByTimeLocked();
}

void EntryShard::SortByTimeLocked() const {
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
  std::vector<bool> noted;
  if (!time_pending.empty()) noted.resize(time_upto);
  // Deleted slots leave the time order.
  for (uint32_t slot : time_pending) {
    noted[slot] = true;
    if (!IsDeleted(slot)) fresh.push_back(item_of(slot));
  }
  for (size_t slot = time_upto; slot < count; ++slot) {
    if (!IsDeleted(slot)) fresh.push_back(item_of(slot));
  }
  SortBySlotTime(fresh);
  // Into the recent run, which goes into the main one once it holds an
  // eighth as many: a large store then moves its main run only every few
  // batches.
  const size_t recent = recent_time.size() + fresh.size();
  const bool fold = recent > by_time.size() / 8;
  MakeRoom(recent_time, fresh.size());
  if (fold) MakeRoom(by_time, recent);
  // The fresh items again, split by type.
  TypeOrders typed;
  if (by_type_kept) {
    try {
      typed = SplitByType(fresh, types.size(),
                          [&](const TimeItem& t) { return SummaryAt(t.slot).type_code; });
      MakeRoom(recent_type.items, fresh.size());
      if (fold) MakeRoom(by_type.items, recent);
      // Types first met since: empty orders at the end.
      by_type.starts.resize(types.size() + 1, by_type.starts.back());
      recent_type.starts.resize(types.size() + 1, recent_type.starts.back());
    } catch (...) {
      by_type = TypeOrders();
      recent_type = TypeOrders();
      by_type_kept = false;
    }
  }
  // Nothing fails from here on. A noted slot's old item goes whatever it
  // says: the slot is in `fresh` as it is now, unless it was deleted.
  if (!noted.empty()) {
    auto noted_slot = [&](const TimeItem& t) { return noted[t.slot]; };
    std::erase_if(by_time, noted_slot);
    std::erase_if(recent_time, noted_slot);
    if (by_type_kept) {
      DropNoted(by_type, noted);
      DropNoted(recent_type, noted);
    }
  }
  MergeFresh(recent_time, fresh);
  if (by_type_kept) MergeTyped(recent_type, typed);
  if (fold) {
    MergeFresh(by_time, recent_time);
    recent_time.clear();
    if (by_type_kept) {
      MergeTyped(by_type, recent_type);
      recent_type.items.clear();
      std::fill(recent_type.starts.begin(), recent_type.starts.end(), 0);
    }
  }
  time_pending.clear();
  time_upto = count;
}

void EntryShard::SortByTypeTime() const {
  std::lock_guard guard(time_mutex);
  SortByTimeLocked();
  if (by_type_kept) return;
  // Each slot's type read in slot order, where the summaries lie, rather
  // than once per item in time order, a random read each; then each run
  // dealt out to the types' places in one pass.
  std::vector<uint32_t> code_of(size());
  for (size_t slot = 0; slot < code_of.size(); ++slot) code_of[slot] = SummaryAt(slot).type_code;
  auto code = [&](const TimeItem& t) { return code_of[t.slot]; };
  TypeOrders main = SplitByType(by_time, types.size(), code);
  TypeOrders recent = SplitByType(recent_time, types.size(), code);
  by_type = std::move(main);
  recent_type = std::move(recent);
  by_type_kept = true;
}

std::shared_ptr<const EntryShard::UserTimeOrder> EntryShard::UserTime(uint32_t user_hash) const {
  GroupByUser();
  std::lock_guard guard(user_time_mutex);
  auto cached = user_time.find(user_hash);
  if (cached != user_time.end() && cached->second->generation == write_generation) return cached->second;
  auto order = std::make_shared<UserTimeOrder>();
  order->generation = write_generation;
  {
    std::lock_guard users(users_mutex);
    auto it = user_slots.find(user_hash);
    if (it != user_slots.end()) order->slots = it->second;
  }
  // A slot may be listed twice, or under a user it has left.
  std::vector<uint32_t>& slots = order->slots;
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  std::erase_if(slots, [&](uint32_t slot) {
    const EntrySummary& s = SummaryAt(slot);
    return s.deleted || s.user_hash != user_hash;
  });
  std::stable_sort(slots.begin(), slots.end(), [&](uint32_t a, uint32_t b) {
    return TimeKey(SummaryAt(a).created_at) < TimeKey(SummaryAt(b).created_at);
  });
  order->typed = slots;
  std::stable_sort(order->typed.begin(), order->typed.end(), [&](uint32_t a, uint32_t b) {
    return SummaryAt(a).type_code < SummaryAt(b).type_code;
  });
  order->times.resize(slots.size());
  order->typed_times.resize(slots.size());
  for (size_t i = 0; i < order->typed.size(); ++i) {
    order->times[i] = SummaryAt(slots[i]).created_at;
    const EntrySummary& s = SummaryAt(order->typed[i]);
    order->typed_times[i] = s.created_at;
    if (i == 0 || s.type_code != order->type_runs.back().type_code) {
      order->type_runs.push_back({s.type_code, static_cast<uint32_t>(i)});
    }
  }
  if (slots.size() >= kKeepUserTimeFrom) {
    user_time[user_hash] = order;
  } else if (cached != user_time.end()) {
    user_time.erase(cached);
  }
  return order;
}

EntryShard::UserTimeOrder::Run EntryShard::UserTimeOrder::OfType(uint32_t type_code) const {
  auto run = std::lower_bound(type_runs.begin(), type_runs.end(), type_code,
                              [](const TypeRun& r, uint32_t code) { return r.type_code < code; });
  if (run == type_runs.end() || run->type_code != type_code) return {{}, nullptr};
  const size_t end = run + 1 == type_runs.end() ? typed.size() : (run + 1)->begin;
  return {std::span<const uint32_t>(typed).subspan(run->begin, end - run->begin),
          typed_times.data() + run->begin};
}

size_t EntryShard::UserSlotCount(uint32_t user_hash) const {
  std::lock_guard users(users_mutex);
  auto it = user_slots.find(user_hash);
  return it == user_slots.end() ? 0 : it->second.size();
}

int64_t EntryShard::FindTypeCode(std::string_view type, const SeededStringHash& seed) const {
  return type_codes.Find(seed(type), [&](size_t code) { return types[code] == type; });
}

EntryShard::Window EntryShard::WindowOf(std::span<const TimeItem> order, std::optional<double> newest,
                                        std::optional<double> oldest) {
  const TimeItem* first = order.data();
  const TimeItem* last = first + order.size();
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

void EntryShard::GroupByUser() const {
  std::lock_guard guard(users_mutex);
  for (const size_t count = size(); users_upto < count; ++users_upto) {
    user_slots[SummaryAt(users_upto).user_hash].push_back(static_cast<uint32_t>(users_upto));
  }
  for (uint32_t slot : users_pending) user_slots[SummaryAt(slot).user_hash].push_back(slot);
  users_pending.clear();
}

void EntryShard::PrepareAdd() {
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

size_t EntryShard::Add(StoredEntry&& stored, const EntrySummary& summary, uint64_t hash) {
  PrepareAdd();
  const size_t slot = size();
  Chunk& chunk = chunks[slot / kChunk];
  stored.shard = index;
  stored.slot = static_cast<uint32_t>(slot);
  chunk.summaries.push_back(summary);
  chunk.entries.push_back(std::move(stored));
  ids.Add(hash, static_cast<uint32_t>(slot));
  ++write_generation;
  return slot;
}

void EntryShard::PrepareReplace() {
  for (std::vector<uint32_t>* notes : {&time_pending, &users_pending}) {
    if (notes->size() == notes->capacity()) notes->reserve(std::max<size_t>(16, 2 * notes->capacity()));
  }
}

void EntryShard::Replace(size_t slot, StoredEntry&& next, const EntrySummary& summary) noexcept {
  EntrySummary& old = chunks[slot / kChunk].summaries[slot % kChunk];
  // A deleted slot left the time order; it comes back whatever its time.
  // A change of type moves it between the orders by type.
  if (slot < time_upto && (old.deleted || !SameTime(old.created_at, summary.created_at) ||
                           old.user_hash != summary.user_hash || old.type_code != summary.type_code)) {
    time_pending.push_back(static_cast<uint32_t>(slot));
  }
  // A deleted slot stays in its user's list, so only a change of user is
  // noted.
  if (old.deleted) --dead;
  ++write_generation;
  if (slot < users_upto && old.user_hash != summary.user_hash) {
    users_pending.push_back(static_cast<uint32_t>(slot));
  }
  old = summary;
  Overwrite(At(slot), std::move(next));
}

void EntryShard::MarkDeleted(size_t slot) noexcept {
  EntrySummary& summary = chunks[slot / kChunk].summaries[slot % kChunk];
  summary.deleted = true;
  ++dead;
  ++write_generation;
  if (slot < time_upto) time_pending.push_back(static_cast<uint32_t>(slot));
  // Everything but the memory_id goes, without allocating. The pooled
  // texts stay in the pool.
  StoredEntry& stored = At(slot);
  stored.user_id = &kNoText;
  stored.memory_type = &kNoText;
  stored.keys = KeyLists();
  stored.chat_id = OptionalText();
  stored.content_preview = OptionalText();
}

EntrySummary EntryShard::Summarize(const StoredEntry& e, const SeededStringHash& seed) {
  EntrySummary summary;
  summary.created_at = e.created_at;
  summary.user_hash = MetadataStore::UserHash(e.UserId());
  summary.type_code = TypeCode(e.MemoryType(), seed);
  summary.importance = e.importance;
  return summary;
}

uint32_t EntryShard::TypeCode(std::string_view type, const SeededStringHash& seed) {
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

}  // namespace velmar::memory
