#include "memory/store/id_list.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "common/panic.hpp"

namespace velmar::memory {

namespace {

size_t CellOf(IdList::Id id, size_t mask) {
  // Fibonacci hashing of the address; the low bits are alignment.
  auto bits = reinterpret_cast<uintptr_t>(id);
  return static_cast<size_t>((bits * 0x9e3779b97f4a7c15ULL) >> 32) & mask;
}

}  // namespace

size_t IdList::Find(Id id) const {
  if (table_.empty()) {
    auto it = std::find(ids_.begin(), ids_.end(), id);
    return it == ids_.end() ? kNone : static_cast<size_t>(it - ids_.begin());
  }
  const size_t mask = table_.size() - 1;
  for (size_t cell = CellOf(id, mask);; cell = (cell + 1) & mask) {
    uint32_t entry = table_[cell];
    if (entry == 0) return kNone;
    if (ids_[entry - 1] == id) return entry - 1;
  }
}

void IdList::InsertSlot(std::vector<uint32_t>& table, uint32_t slot) const {
  const size_t mask = table.size() - 1;
  size_t cell = CellOf(ids_[slot], mask);
  while (table[cell] != 0) cell = (cell + 1) & mask;
  table[cell] = slot + 1;
}

std::vector<uint32_t> IdList::MakeTable(size_t slots) const {
  // At most half full, counting tombstones, so probes stay short.
  const size_t cells = std::bit_ceil(std::max<size_t>(4 * kIndexFrom, 2 * slots + 2));
  std::vector<uint32_t> table(cells, 0);
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (ids_[i] != nullptr) InsertSlot(table, static_cast<uint32_t>(i));
  }
  return table;
}

void IdList::Compact() noexcept {
  ids_.erase(std::remove(ids_.begin(), ids_.end(), nullptr), ids_.end());
  dead_count_ = 0;
  std::vector<uint32_t>().swap(table_);
  // Without room for a new table the list is searched linearly, which
  // needs no table; a later search tries again.
  PrepareSearch();
}

void IdList::PrepareSearch() noexcept {
  if (!table_.empty() || ids_.size() <= kIndexFrom) return;
  try {
    // Room for one more: an insert makes room in a list (PrepareAppend),
    // may then remove the same identifier from it, and then appends
    // without allocating.
    table_ = MakeTable(ids_.size() + 1);
  } catch (const std::bad_alloc&) {
  }
}

void IdList::Add(Id id) {
  PrepareSearch();
  if (Find(id) == kNone) Append(id);
}

void IdList::PrepareAppend() {
  if (ids_.size() >= std::numeric_limits<uint32_t>::max() - 1) {
    throw Panic("identifier list too long");
  }
  if (ids_.size() == ids_.capacity()) ids_.reserve(std::max<size_t>(4, 2 * ids_.capacity()));
  if (!table_.empty() && 2 * (ids_.size() + 1) + 2 > table_.size()) {
    table_ = MakeTable(ids_.size() + 1);
  }
}

void IdList::Append(Id id) {
  // Everything that may fail comes first, so that a failure leaves the list
  // as it was.
  PrepareAppend();
  ids_.push_back(id);
  ++live_;
  if (!table_.empty()) InsertSlot(table_, static_cast<uint32_t>(ids_.size() - 1));
}

void IdList::Remove(Id id) noexcept {
  PrepareSearch();
  size_t slot = Find(id);
  if (slot == kNone) return;
  --live_;
  if (table_.empty()) {
    ids_.erase(ids_.begin() + static_cast<std::ptrdiff_t>(slot));
    return;
  }
  // The tombstone stays in the table; Find never matches a null id.
  ids_[slot] = nullptr;
  ++dead_count_;
  if (dead_count_ > live_ && dead_count_ >= kIndexFrom) Compact();
}

size_t IdList::RemovalCells(size_t gone) { return std::bit_ceil(std::max<size_t>(8, 2 * gone)); }

void IdList::RemoveMany(std::span<const Id> gone, std::span<Id> scratch) noexcept {
  if (!table_.empty()) {
    for (Id id : gone) Remove(id);
    return;
  }
  // Without a table the list holds no tombstones.
  const size_t before = ids_.size();
  if (gone.size() <= 4) {
    // Most lists a deletion touches lose one or two identifiers: compared
    // with each, padded with null, which no such list holds.
    Id g[4] = {nullptr, nullptr, nullptr, nullptr};
    std::copy(gone.begin(), gone.end(), g);
    std::erase_if(ids_, [&](Id id) { return (id == g[0]) | (id == g[1]) | (id == g[2]) | (id == g[3]); });
    live_ -= before - ids_.size();
    return;
  }
  // At most half full, so that a lookup mostly ends at its first cell.
  const std::span<Id> cells = scratch.first(RemovalCells(gone.size()));
  std::fill(cells.begin(), cells.end(), nullptr);
  const size_t mask = cells.size() - 1;
  for (Id id : gone) {
    size_t cell = CellOf(id, mask);
    while (cells[cell] != nullptr) cell = (cell + 1) & mask;
    cells[cell] = id;
  }
  // A bit per identifier of `gone` among 8,192 rules out nearly every
  // other one with one predictable test, where the table's probes would
  // often meet an occupied cell first.
  uint64_t filter[128] = {};
  auto bit = [](Id id) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(id) * 0x9e3779b97f4a7c15ULL) >> 51);
  };
  for (Id id : gone) filter[bit(id) / 64] |= uint64_t{1} << (bit(id) % 64);
  std::erase_if(ids_, [&](Id id) {
    const size_t b = bit(id);
    if ((filter[b / 64] >> (b % 64) & 1) == 0) return false;
    for (size_t cell = CellOf(id, mask); cells[cell] != nullptr; cell = (cell + 1) & mask) {
      if (cells[cell] == id) return true;
    }
    return false;
  });
  live_ -= before - ids_.size();
}

std::vector<std::string> IdList::ToVector() const {
  std::vector<std::string> out;
  out.reserve(live_);
  ForEach([&](const std::string& id) { out.push_back(id); });
  return out;
}

}  // namespace velmar::memory
