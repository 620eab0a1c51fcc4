#pragma once

#include <algorithm>
#include <cstddef>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "memory/store/secondary_index.hpp"

namespace velmar::memory {

// The index shards one insert writes to, write-locked together for the
// whole insert in one global order: index by index (type, subject, keyword,
// tag), shards by number. Every insert takes them while holding its entry
// shard's lock, and BulkLoad takes all of them in that same order, so no
// two lockers can wait on each other in a cycle.
class IndexShardLocks {
 public:
  // Inserts run often: the list of shards is kept from one to the next.
  IndexShardLocks() : wanted_(Buffer()) { wanted_.clear(); }
  IndexShardLocks(const IndexShardLocks&) = delete;
  IndexShardLocks& operator=(const IndexShardLocks&) = delete;

  // Notes the shard of `key` in `index` (the index's place in the order is
  // `order`). May throw; nothing is locked yet.
  void Note(IndexMap& index, size_t order, std::string_view key) {
    const size_t shard = index.ShardIndex(key);
    wanted_.push_back({order * index.ShardCount() + shard, &index.ShardAt(shard).mutex});
  }

  // Locks every noted shard once, in order.
  void LockAll() noexcept {
    std::sort(wanted_.begin(), wanted_.end(),
              [](const Wanted& a, const Wanted& b) { return a.rank < b.rank; });
    wanted_.erase(std::unique(wanted_.begin(), wanted_.end(),
                              [](const Wanted& a, const Wanted& b) { return a.rank == b.rank; }),
                  wanted_.end());
    for (const Wanted& w : wanted_) w.mutex->lock();
    locked_ = true;
  }

  ~IndexShardLocks() {
    if (!locked_) return;
    for (auto it = wanted_.rbegin(); it != wanted_.rend(); ++it) it->mutex->unlock();
  }

 private:
  struct Wanted {
    size_t rank;
    std::shared_mutex* mutex;
  };
  static std::vector<Wanted>& Buffer() {
    thread_local std::vector<Wanted> buffer;
    return buffer;
  }
  std::vector<Wanted>& wanted_;
  bool locked_ = false;
};

}  // namespace velmar::memory
