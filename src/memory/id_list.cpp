#include "memory/id_list.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "common/panic.hpp"
#include "memory/sharded_map.hpp"

namespace velmar::memory {

namespace {

uint64_t IdHash(std::string_view id) {
  static const uint64_t seed = NewHashSeed();
  return HashBytes(id, seed);
}

}  // namespace

size_t IdList::Find(std::string_view id) const {
  if (table_.empty()) {
    for (size_t i = 0; i < ids_.size(); ++i) {
      if (ids_[i] == id) return i;
    }
    return kNone;
  }
  const size_t mask = table_.size() - 1;
  for (size_t cell = IdHash(id) & mask;; cell = (cell + 1) & mask) {
    uint32_t entry = table_[cell];
    if (entry == 0) return kNone;
    size_t slot = entry - 1;
    if (!dead_[slot] && ids_[slot] == id) return slot;
  }
}

void IdList::InsertSlot(uint32_t slot) {
  const size_t mask = table_.size() - 1;
  size_t cell = IdHash(ids_[slot]) & mask;
  while (table_[cell] != 0) cell = (cell + 1) & mask;
  table_[cell] = slot + 1;
}

void IdList::BuildTable() {
  // At most half full, counting tombstones, so probes stay short.
  size_t cells = std::bit_ceil(std::max<size_t>(4 * kIndexFrom, 2 * ids_.size() + 2));
  table_.assign(cells, 0);
  dead_.resize(ids_.size(), false);
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (!dead_[i]) InsertSlot(static_cast<uint32_t>(i));
  }
}

void IdList::Compact() {
  size_t out = 0;
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (dead_[i]) continue;
    if (out != i) ids_[out] = std::move(ids_[i]);
    ++out;
  }
  ids_.resize(out);
  dead_.assign(out, false);
  dead_count_ = 0;
  if (out > kIndexFrom) {
    BuildTable();
  } else {
    table_.clear();
    table_.shrink_to_fit();
    dead_.clear();
  }
}

void IdList::PrepareSearch() {
  if (table_.empty() && ids_.size() > kIndexFrom) BuildTable();
}

void IdList::Add(std::string_view id) {
  PrepareSearch();
  if (Find(id) == kNone) Append(id);
}

void IdList::Append(std::string_view id) {
  if (ids_.size() >= std::numeric_limits<uint32_t>::max() - 1) {
    throw Panic("identifier list too long");
  }
  ids_.emplace_back(id);
  ++live_;
  if (table_.empty()) return;
  dead_.push_back(false);
  if (2 * ids_.size() + 2 > table_.size()) {
    BuildTable();
  } else {
    InsertSlot(static_cast<uint32_t>(ids_.size() - 1));
  }
}

void IdList::Remove(std::string_view id) {
  PrepareSearch();
  size_t slot = Find(id);
  if (slot == kNone) return;
  --live_;
  if (table_.empty()) {
    ids_.erase(ids_.begin() + static_cast<std::ptrdiff_t>(slot));
    return;
  }
  dead_[slot] = true;
  ++dead_count_;
  if (dead_count_ > live_ && dead_count_ >= kIndexFrom) Compact();
}

std::vector<std::string> IdList::ToVector() const {
  std::vector<std::string> out;
  out.reserve(live_);
  ForEach([&](const std::string& id) { out.push_back(id); });
  return out;
}

}  // namespace velmar::memory
