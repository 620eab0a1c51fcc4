#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmar::memory {

// The identifiers listed under one key of a secondary index: each at most
// once, in the order they were added.
//
// An identifier is held as a pointer to the one string that is its key in
// entry_map. Entries are never removed from the store and node keys never
// move, so the pointer stays valid for the store's life, and two pointers
// are equal exactly when the identifiers are. That keeps a list at 8 bytes
// per identifier and makes every comparison a pointer comparison.
//
// Short lists are searched linearly. Once a list longer than kIndexFrom is
// searched (a checked Add, a Remove), it also gets an open-addressing table
// of positions, kept up to date from then on, so that taking one identifier
// out of a list under a key shared by millions of entries (a memory type, a
// common tag) stays cheap. In that mode a removal leaves a null tombstone,
// and the list is compacted once the tombstones outnumber the live
// identifiers. Lists that are only ever appended to, or lose identifiers
// only in batches (RemoveMany, as deletions do), never pay for a table.
class IdList {
 public:
  using Id = const std::string*;
  static constexpr size_t kIndexFrom = 16;

  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

  // Appends `id` unless it is already listed.
  void Add(Id id);
  // Appends `id`, which the caller knows is not listed.
  void Append(Id id);
  // Makes room for one more identifier, so that the next Append allocates
  // nothing. Changes nothing visible; may throw std::bad_alloc.
  void PrepareAppend();
  // Removes `id` if it is listed; the others keep their order.
  void Remove(Id id) noexcept;
  // Removes each identifier of `gone` (distinct, listed or not); the others
  // keep their order. A list with a table takes them out one by one through
  // it. Any other is gone through once, each identifier looked up among
  // `gone` in a small table made in `scratch` (at least
  // RemovalCells(gone.size()) cells, overwritten), instead of getting the
  // table that one-by-one removals from a long list need: a deletion then
  // costs each list it touches one pass, and leaves no table behind.
  void RemoveMany(std::span<const Id> gone, std::span<Id> scratch) noexcept;
  static size_t RemovalCells(size_t gone);
  bool Contains(Id id) const { return Find(id) != kNone; }

  // Calls fn(const std::string&) for each identifier, in order.
  template <class F>
  void ForEach(F&& fn) const {
    for (Id id : ids_) {
      if (id != nullptr) fn(*id);
    }
  }
  // Calls fn(Id) for each identifier, in order.
  template <class F>
  void ForEachId(F&& fn) const {
    for (Id id : ids_) {
      if (id != nullptr) fn(id);
    }
  }
  std::vector<std::string> ToVector() const;

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t Find(Id id) const;
  // Gives a long list its table before it is searched, when there is room.
  void PrepareSearch() noexcept;
  // A table of the current identifiers, sized for `slots` of them.
  std::vector<uint32_t> MakeTable(size_t slots) const;
  void InsertSlot(std::vector<uint32_t>& table, uint32_t slot) const;
  void Compact() noexcept;

  std::vector<Id> ids_;  // nullptr marks a removed identifier (table mode)
  // Table mode only: slot + 1 per cell, 0 marks a free cell.
  std::vector<uint32_t> table_;
  size_t live_ = 0;
  size_t dead_count_ = 0;
};

}  // namespace velmar::memory
