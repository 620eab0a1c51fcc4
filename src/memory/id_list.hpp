#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::memory {

// The identifiers listed under one key of a secondary index: each at most
// once, in the order they were added.
//
// Short lists are a plain vector searched linearly. Once a list longer than
// kIndexFrom is searched (a checked Add, a Remove), it also gets an
// open-addressing table of positions, kept up to date from then on, so that
// taking one identifier out of a list under a key shared by millions of
// entries (a memory type, a common tag) stays cheap. In that mode a removal
// leaves a tombstone, and the list is compacted once the tombstones
// outnumber the live identifiers. Lists that are only ever appended to
// never pay for a table.
class IdList {
 public:
  static constexpr size_t kIndexFrom = 16;

  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }

  // Appends `id` unless it is already listed.
  void Add(std::string_view id);
  // Appends `id`, which the caller knows is not listed.
  void Append(std::string_view id);
  // Removes `id` if it is listed; the others keep their order.
  void Remove(std::string_view id);
  bool Contains(std::string_view id) const { return Find(id) != kNone; }

  // Calls fn(const std::string&) for each identifier, in order.
  template <class F>
  void ForEach(F&& fn) const {
    for (size_t i = 0; i < ids_.size(); ++i) {
      if (dead_.empty() || !dead_[i]) fn(ids_[i]);
    }
  }
  std::vector<std::string> ToVector() const;

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t Find(std::string_view id) const;
  // Gives a long list its table before it is searched.
  void PrepareSearch();
  void BuildTable();
  void InsertSlot(uint32_t slot);
  void Compact();

  std::vector<std::string> ids_;
  // Indexed mode only (table_ not empty): a tombstone flag per slot, and the
  // table of slot + 1 (0 marks a free cell).
  std::vector<bool> dead_;
  std::vector<uint32_t> table_;
  size_t live_ = 0;
  size_t dead_count_ = 0;
};

}  // namespace velmar::memory
