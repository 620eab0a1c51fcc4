#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memory/store/secondary_index.hpp"

namespace velmar::memory {

// The identifier lists of one secondary index as BulkLoad reaches them,
// while it holds every shard lock of the index. Each key's list is found in
// the shard's table once; after that a flat table of (hash, key, list) finds
// it with one hash of the key and, mostly, one probe, where the shard's
// table would hash the key again and walk its bucket chain.
class ListFinder {
 public:
  explicit ListFinder(IndexMap& index) : index_(index), cells_(256), by_text_(256) {}

  // The list under a pooled text: found by the text's address, which is
  // cheaper than hashing the text, once the text has been seen.
  IdList& Get(const PooledText* text) {
    size_t mask = by_text_.size() - 1;
    size_t i = PointerCell(text, mask);
    for (; by_text_[i].text != nullptr; i = (i + 1) & mask) {
      if (by_text_[i].text == text) return *by_text_[i].list;
    }
    IdList& list = Get(std::string_view(text->text));
    by_text_[i] = TextCell{text, &list};
    if (2 * ++text_count_ > by_text_.size()) {
      std::vector<TextCell> old = std::move(by_text_);
      by_text_.assign(2 * old.size(), TextCell{});
      mask = by_text_.size() - 1;
      for (const TextCell& c : old) {
        if (c.text == nullptr) continue;
        size_t j = PointerCell(c.text, mask);
        while (by_text_[j].text != nullptr) j = (j + 1) & mask;
        by_text_[j] = c;
      }
    }
    return list;
  }

  // The list under `key`, created empty if the key is new.
  IdList& Get(std::string_view key) {
    const uint64_t hash = index_.Hash(key);
    size_t mask = cells_.size() - 1;
    size_t i = hash & mask;
    for (; cells_[i].list != nullptr; i = (i + 1) & mask) {
      if (cells_[i].hash == hash && *cells_[i].key == key) return *cells_[i].list;
    }
    auto& table = index_.ShardAt(ShardOfHash(hash, index_.ShardCount())).table;
    auto it = table.find(key);
    if (it == table.end()) it = table.emplace(std::string(key), NewIndexedKey(key)).first;
    cells_[i] = Cell{hash, &it->first, &it->second.ids};
    if (2 * ++count_ > cells_.size()) Grow();
    return it->second.ids;
  }

 private:
  struct Cell {
    uint64_t hash = 0;
    const std::string* key = nullptr;  // the node's key and value: they never move
    IdList* list = nullptr;
  };

  void Grow() {
    std::vector<Cell> old = std::move(cells_);
    cells_.assign(2 * old.size(), Cell{});
    const size_t mask = cells_.size() - 1;
    for (const Cell& c : old) {
      if (c.list == nullptr) continue;
      size_t i = c.hash & mask;
      while (cells_[i].list != nullptr) i = (i + 1) & mask;
      cells_[i] = c;
    }
  }

  struct TextCell {
    const PooledText* text = nullptr;
    IdList* list = nullptr;
  };
  static size_t PointerCell(const PooledText* text, size_t mask) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(text) * 0x9e3779b97f4a7c15ULL) >> 32) &
           mask;
  }

  IndexMap& index_;
  std::vector<Cell> cells_;
  size_t count_ = 0;
  std::vector<TextCell> by_text_;
  size_t text_count_ = 0;
};

// Lists `id` under each distinct, non-empty key of `keys`, as Insert;
// with a null `id`, only makes sure that each key is there.
inline void ListAll(ListFinder& lists, TextSpan keys, IdList::Id id) {
  ForEachDistinct(keys, [&](const PooledText* key) {
    if (key->text.empty()) return;
    IdList& list = lists.Get(key);
    if (id != nullptr) list.Append(id);
  });
}

}  // namespace velmar::memory
