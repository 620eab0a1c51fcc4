#include "memory/store/text_pool.hpp"

#include <utility>

#include "memory/lowercase.hpp"

namespace velmar::memory {

TextPool::TextPool() : hash_{NewHashSeed()}, shards_(std::make_unique<Shard[]>(kShards)) {
  for (size_t i = 0; i < kShards; ++i) shards_[i].find = decltype(Shard::find)(0, hash_);
}

const PooledText* TextPool::Intern(std::string_view text) {
  const uint64_t hash = hash_(text);
  Shard& shard = shards_[ShardOfHash(hash, kShards)];
  std::lock_guard lock(shard.mutex);
  auto it = shard.find.find(text);
  if (it != shard.find.end()) return it->second;
  PooledText made;
  made.text = text;
  if (MayChangeInLowercase(text)) {
    std::string lower = ToLower(text);
    if (lower != text) made.lower = std::move(lower);
  }
  shard.texts.push_back(std::move(made));
  const PooledText* kept = &shard.texts.back();
  try {
    shard.find.emplace(kept->text, kept);
  } catch (...) {
    shard.texts.pop_back();
    throw;
  }
  return kept;
}

size_t TextPool::size() const {
  size_t total = 0;
  for (size_t i = 0; i < kShards; ++i) {
    std::lock_guard lock(shards_[i].mutex);
    total += shards_[i].texts.size();
  }
  return total;
}

}  // namespace velmar::memory
