#include "memory/store/secondary_index.hpp"

#include <mutex>
#include <shared_mutex>
#include <utility>

#include "memory/lowercase.hpp"

namespace velmar::memory {

IndexedKey NewIndexedKey(std::string_view key) {
  IndexedKey made;
  if (MayChangeInLowercase(key)) {
    std::string lower = ToLower(key);
    if (lower != key) made.lower = std::move(lower);
  }
  return made;
}


std::string_view LowerKey(const std::string& key, const IndexedKey& value) {
  return value.lower.empty() ? std::string_view(key) : std::string_view(value.lower);
}

void PrepareKey(IndexMap& index, std::string_view key, uint64_t insert,
                std::vector<PreparedList>* prepared) {
  IndexMap::Table& table = index.ShardFor(key).table;
  auto it = table.find(key);
  const bool created = it == table.end();
  if (!created && it->second.last_insert == insert) return;
  if (created) it = table.emplace(std::string(key), NewIndexedKey(key)).first;
  try {
    it->second.ids.PrepareAppend();
    prepared->push_back(PreparedList{&table, key, &it->second, created});
  } catch (...) {
    if (created) table.erase(it);
    throw;
  }
  it->second.last_insert = insert;
}

void DropPrepared(const PreparedList& list) noexcept {
  if (list.created) list.table->erase(list.table->find(list.key));
}

void IndexRemove(IndexMap& index, std::string_view key, IdList::Id id) {
  IndexMap::Table& table = index.ShardFor(key).table;
  auto it = table.find(key);
  if (it != table.end()) it->second.ids.Remove(id);
}

std::vector<std::string> IdsOf(const IndexMap& index, std::string_view key) {
  const auto& shard = index.ShardFor(key);
  std::shared_lock lock(shard.mutex);
  auto it = shard.table.find(key);
  return it == shard.table.end() ? std::vector<std::string>() : it->second.ids.ToVector();
}

}  // namespace velmar::memory
