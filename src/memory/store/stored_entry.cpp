#include "memory/store/stored_entry.hpp"

#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "common/panic.hpp"

namespace velmar::memory {

// StoredOf: an identifier list points at memory_id, the first member, which
// a standard-layout class shares its address with.
static_assert(std::is_standard_layout_v<StoredEntry>);
static_assert(offsetof(StoredEntry, memory_id) == 0);

OptionalText::OptionalText(std::optional<std::string_view> text) {
  if (!text) return;
  data_ = new char[sizeof(size_t) + text->size()];
  const size_t size = text->size();
  std::memcpy(data_, &size, sizeof size);
  std::memcpy(data_ + sizeof size, text->data(), size);
}

OptionalText& OptionalText::operator=(OptionalText&& other) noexcept {
  if (this != &other) {
    delete[] data_;
    data_ = std::exchange(other.data_, nullptr);
  }
  return *this;
}

std::string_view OptionalText::view() const {
  if (data_ == nullptr) return {};
  size_t size;
  std::memcpy(&size, data_, sizeof size);
  return {data_ + sizeof size, size};
}

std::optional<std::string> OptionalText::ToOptional() const {
  if (data_ == nullptr) return std::nullopt;
  return std::string(view());
}

KeyLists::KeyLists(KeyLists&& other) noexcept : items_(std::exchange(other.items_, nullptr)) {
  std::memcpy(ends_, other.ends_, sizeof ends_);
  std::memset(other.ends_, 0, sizeof other.ends_);
}

KeyLists& KeyLists::operator=(KeyLists&& other) noexcept {
  if (this != &other) {
    delete[] items_;
    items_ = std::exchange(other.items_, nullptr);
    std::memcpy(ends_, other.ends_, sizeof ends_);
    std::memset(other.ends_, 0, sizeof other.ends_);
  }
  return *this;
}

template <class Texts, class Pool>
KeyLists KeyLists::MakeFrom(const Texts* const (&lists)[4], Pool& pool) {
  size_t total = 0;
  for (const auto* list : lists) total += list->size();
  if (total > std::numeric_limits<uint32_t>::max()) throw Panic("entry has too many keys");
  KeyLists made;
  if (total == 0) return made;
  made.items_ = new const PooledText*[total];
  size_t at = 0;
  for (size_t i = 0; i < 4; ++i) {
    for (const auto& text : *lists[i]) made.items_[at++] = pool.Intern(text);
    made.ends_[i] = static_cast<uint32_t>(at);
  }
  return made;
}

KeyLists KeyLists::Make(const MetadataEntry& e, TextPool& pool) {
  const std::vector<std::string>* lists[4] = {&e.subjects, &e.objects, &e.keywords, &e.tags};
  return MakeFrom(lists, pool);
}

KeyLists KeyLists::Make(const std::vector<std::string_view> (&views)[4], TextPool::Memo& pool) {
  const std::vector<std::string_view>* lists[4] = {&views[0], &views[1], &views[2], &views[3]};
  return MakeFrom(lists, pool);
}

std::vector<std::string> TextsOf(TextSpan list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (const PooledText* t : list) out.push_back(t->text);
  return out;
}

StoredEntry MakeStored(MetadataEntry&& entry, TextPool& pool) {
  StoredEntry stored;
  SetStoredFields(entry, pool, stored);
  stored.keys = KeyLists::Make(entry, pool);
  // Last: nothing after it may fail, so a failure leaves `entry` whole.
  stored.memory_id = std::move(entry.memory_id);
  return stored;
}

MetadataEntry ToEntry(const StoredEntry& stored) {
  MetadataEntry e;
  e.memory_id = stored.memory_id;
  e.user_id = stored.UserId();
  e.memory_type = stored.MemoryType();
  e.subjects = TextsOf(stored.Subjects());
  e.objects = TextsOf(stored.Objects());
  e.keywords = TextsOf(stored.Keywords());
  e.tags = TextsOf(stored.Tags());
  e.importance = stored.importance;
  e.confidence = stored.confidence;
  e.created_at = stored.created_at;
  e.access_count = stored.access_count;
  e.chat_id = stored.chat_id.ToOptional();
  e.content_preview = stored.content_preview.ToOptional();
  return e;
}

}  // namespace velmar::memory
