#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar::memory {

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

}  // namespace velmar::memory
