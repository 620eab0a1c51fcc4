#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/worker_pool.hpp"

namespace velmar::memory {

// A seeded 64-bit hash of a byte string (multiply-fold mixing in the style
// of wyhash). Different seeds give unrelated hash values, and so unrelated
// table orders.
inline uint64_t HashBytes(std::string_view s, uint64_t seed) {
  constexpr uint64_t kP0 = 0xa0761d6478bd642fULL;
  constexpr uint64_t kP1 = 0xe7037ed1a0b428dbULL;
  constexpr uint64_t kP2 = 0x8ebc6af09c88c6e3ULL;
  auto mix = [](uint64_t a, uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
  };
  auto load64 = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto load32 = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return static_cast<uint64_t>(v);
  };
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = seed ^ kP0;
  uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 4) {
      // Two (possibly overlapping) 4-byte reads from each end.
      a = (load32(p) << 32) | load32(p + ((n >> 3) << 2));
      b = (load32(p + n - 4) << 32) | load32(p + n - 4 - ((n >> 3) << 2));
    } else if (n > 0) {
      a = (static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16) |
          (static_cast<uint64_t>(static_cast<uint8_t>(p[n >> 1])) << 8) |
          static_cast<uint64_t>(static_cast<uint8_t>(p[n - 1]));
    }
  } else {
    size_t i = n;
    while (i > 16) {
      h = mix(load64(p) ^ kP1, load64(p + 8) ^ h);
      p += 16;
      i -= 16;
    }
    a = load64(p + i - 16);
    b = load64(p + i - 8);
  }
  return mix(kP1 ^ n, mix(a ^ kP1, b ^ h) ^ kP2);
}

// A fresh random seed for one map: a process-wide random base, stepped by a
// counter so that maps made at the same moment still differ.
inline uint64_t NewHashSeed() {
  static const uint64_t base = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  static std::atomic<uint64_t> counter{0};
  // splitmix64 of base + n * golden ratio.
  uint64_t z = base + (counter.fetch_add(1, std::memory_order_relaxed) + 1) *
                          0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The hash of one map's tables; transparent, so lookups take string_view.
struct SeededStringHash {
  using is_transparent = void;
  uint64_t seed = 0;
  size_t operator()(std::string_view s) const { return HashBytes(s, seed); }
};

// The number of shards of every map in this process: four per hardware
// thread available to the process (1 when unknown), rounded up to a power of
// two, at least 4. Fixed by the first call.
inline size_t ProcessShardCount() {
  static const size_t count = [] {
    const size_t threads = static_cast<size_t>(velmar::AvailableProcessors());
    return std::max<size_t>(4, std::bit_ceil(threads * 4));
  }();
  return count;
}

// The shard, among `count` (a power of two), of a key with this hash. The
// high half of the hash picks it, so that it does not correlate with the
// place inside the shard's table, which comes from the low half.
inline size_t ShardOfHash(uint64_t hash, size_t count) {
  return static_cast<size_t>(hash >> 32) & (count - 1);
}

// A hash map from text keys to V, split into shards that each have their own
// reader-writer lock. The shard of a key comes from the high bits of its
// seeded hash; within a shard the table is an ordinary unordered_map using
// the same hash, so each map's iteration order depends on its own seed.
//
// Callers lock explicitly through the Shard they get; the map itself never
// holds a lock across calls.
template <class V>
class ShardedMap {
 public:
  using Table = std::unordered_map<std::string, V, SeededStringHash, std::equal_to<>>;

  struct alignas(64) Shard {
    mutable std::shared_mutex mutex;
    Table table;
  };

  ShardedMap() : ShardedMap(ProcessShardCount(), NewHashSeed()) {}
  ShardedMap(size_t shard_count, uint64_t seed)
      : count_(shard_count), hash_{seed}, shards_(std::make_unique<Shard[]>(shard_count)) {
    for (size_t i = 0; i < count_; ++i) {
      shards_[i].table = Table(0, hash_);
    }
  }

  size_t ShardCount() const { return count_; }

  size_t ShardIndex(std::string_view key) const { return ShardOfHash(hash_(key), count_); }
  // The seeded hash of a key, which picks its shard (and, inside the shard,
  // its bucket).
  uint64_t Hash(std::string_view key) const { return hash_(key); }

  Shard& ShardFor(std::string_view key) { return shards_[ShardIndex(key)]; }
  const Shard& ShardFor(std::string_view key) const { return shards_[ShardIndex(key)]; }
  Shard& ShardAt(size_t i) { return shards_[i]; }
  const Shard& ShardAt(size_t i) const { return shards_[i]; }

  // Number of keys, shard by shard, each under its read lock.
  size_t Size() const {
    size_t total = 0;
    for (size_t i = 0; i < count_; ++i) {
      std::shared_lock lock(shards_[i].mutex);
      total += shards_[i].table.size();
    }
    return total;
  }

 private:
  size_t count_;
  SeededStringHash hash_;
  std::unique_ptr<Shard[]> shards_;
};

}  // namespace velmar::memory
