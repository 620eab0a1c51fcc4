#include "memory/store/text_pool.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "memory/lowercase.hpp"

namespace velmar::memory {

TextPool::TextPool() : hash_{NewHashSeed()}, shards_(std::make_unique<Shard[]>(kShards)) {}

void TextPool::Place(std::vector<Cell>& cells, const Cell& cell) {
  const size_t mask = cells.size() - 1;
  size_t i = cell.hash & mask;
  while (cells[i].text != nullptr) i = (i + 1) & mask;
  cells[i] = cell;
}

const PooledText* TextPool::Intern(std::string_view text) { return Intern(text, hash_(text)); }

void TextPool::Memo::Place(std::vector<MemoCell>& cells, const MemoCell& cell) {
  const size_t mask = cells.size() - 1;
  size_t i = cell.hash & mask;
  while (cells[i].text != nullptr) i = (i + 1) & mask;
  cells[i] = cell;
}

const PooledText* TextPool::Memo::Intern(std::string_view text) {
  const uint64_t hash = pool_.hash_(text);
  if (!cells_.empty()) {
    const size_t mask = cells_.size() - 1;
    for (size_t i = hash & mask; cells_[i].text != nullptr; i = (i + 1) & mask) {
      const MemoCell& c = cells_[i];
      if (c.hash == hash && c.size == text.size() &&
          std::memcmp(bytes_.data() + c.at, text.data(), text.size()) == 0) {
        return c.text;
      }
    }
  }
  const PooledText* pooled = pool_.Intern(text, hash);
  // Offsets are 32 bits: past that the memo stops taking texts.
  if (bytes_.size() + text.size() > std::numeric_limits<uint32_t>::max()) return pooled;
  if (2 * (size_ + 1) > cells_.size()) {
    std::vector<MemoCell> grown(std::max<size_t>(256, 2 * cells_.size()));
    for (const MemoCell& c : cells_) {
      if (c.text != nullptr) Place(grown, c);
    }
    cells_.swap(grown);
  }
  const auto at = static_cast<uint32_t>(bytes_.size());
  bytes_.append(text);
  Place(cells_, MemoCell{hash, at, static_cast<uint32_t>(text.size()), pooled});
  ++size_;
  return pooled;
}

const PooledText* TextPool::Intern(std::string_view text, uint64_t hash) {
  Shard& shard = shards_[ShardOfHash(hash, kShards)];
  std::lock_guard lock(shard.mutex);
  if (!shard.cells.empty()) {
    const size_t mask = shard.cells.size() - 1;
    for (size_t i = hash & mask; shard.cells[i].text != nullptr; i = (i + 1) & mask) {
      const Cell& c = shard.cells[i];
      if (c.hash == hash && c.text->text == text) return c.text;
    }
  }
  // Room first, so that a failure leaves the shard as it was.
  if (2 * (shard.texts.size() + 1) > shard.cells.size()) {
    std::vector<Cell> grown(std::max<size_t>(64, 2 * shard.cells.size()));
    for (const Cell& c : shard.cells) {
      if (c.text != nullptr) Place(grown, c);
    }
    shard.cells.swap(grown);
  }
  PooledText made;
  made.text = text;
  made.json_plain = std::none_of(text.begin(), text.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (MayChangeInLowercase(text)) {
    std::string lower = ToLower(text);
    if (lower != text) made.lower = std::move(lower);
  }
  shard.texts.push_back(std::move(made));
  const PooledText* kept = &shard.texts.back();
  Place(shard.cells, Cell{hash, kept});
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
