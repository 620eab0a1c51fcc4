#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "memory/store/sharded_map.hpp"

namespace velmar::memory {

// One distinct text of a store, with the lowercase form that loose matches
// compare against, computed once when the text first arrives.
struct PooledText {
  std::string text;
  std::string lower;  // empty when the text is its own lowercase form
  // No byte of the text needs escaping in a JSON string (no quote,
  // backslash or control character), so a writer may copy it as it is.
  bool json_plain = false;

  std::string_view Lower() const { return lower.empty() ? std::string_view(text) : lower; }
};

// The text of a field no entry has filled: the empty text.
inline const PooledText kNoText{};

// The texts that entries repeat (user ids, memory types, subjects, objects,
// keywords, tags), each kept once however many entries carry it, so that an
// entry holds a pointer per text instead of a string. A text never moves
// and never goes while the pool lives, so those pointers stay valid; two
// pointers from one pool are equal exactly when their texts are. Texts no
// entry uses any more (after a delete or a replacement) stay: they are few,
// and the next entry that repeats them finds them. Thread-safe.
class TextPool {
 public:
  TextPool();
  TextPool(const TextPool&) = delete;
  TextPool& operator=(const TextPool&) = delete;

  // The pooled copy of `text`, added if new. May throw std::bad_alloc,
  // leaving the pool as it was.
  const PooledText* Intern(std::string_view text);

  // The number of distinct texts held.
  size_t size() const;

 private:
  struct Cell;

 public:
  // A thread's memo of the texts it has pooled, in front of the pool: a
  // text it has seen before is found without taking a lock, which is most
  // of them when entries are read by the million. One thread's own.
  class Memo {
   public:
    explicit Memo(TextPool& pool) : pool_(pool) {}
    // As TextPool::Intern.
    const PooledText* Intern(std::string_view text);

   private:
    // A memoised text's copy sits in bytes_, so that telling texts apart
    // reads this small, dense buffer rather than the pooled text itself,
    // somewhere in a pool of thousands.
    struct MemoCell {
      uint64_t hash = 0;
      uint32_t at = 0;    // of the copy in bytes_
      uint32_t size = 0;
      const PooledText* text = nullptr;  // null marks a free cell
    };
    static void Place(std::vector<MemoCell>& cells, const MemoCell& cell);

    TextPool& pool_;
    std::vector<MemoCell> cells_;
    std::string bytes_;
    size_t size_ = 0;
  };

 private:
  const PooledText* Intern(std::string_view text, uint64_t hash);
  static constexpr size_t kShards = 16;
  // Open addressing with linear probing, at most half full: a lookup is
  // mostly one probe whose stored hash already rules out other texts.
  struct Cell {
    uint64_t hash = 0;
    const PooledText* text = nullptr;  // null marks a free cell
  };
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::deque<PooledText> texts;  // a deque never moves what it holds
    std::vector<Cell> cells;
  };
  static void Place(std::vector<Cell>& cells, const Cell& cell);

  SeededStringHash hash_;
  std::unique_ptr<Shard[]> shards_;
};

}  // namespace velmar::memory
