#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "memory/entry.hpp"
#include "memory/store/text_pool.hpp"

namespace velmar::memory {

// A list of pooled texts, in the entry's order.
using TextSpan = std::span<const PooledText* const>;

// A text an entry may lack (chat_id, content_preview), owned by the entry:
// these are mostly its own, so pooling them would save nothing. One
// pointer, null when absent, to the length followed by the bytes.
class OptionalText {
 public:
  OptionalText() = default;
  explicit OptionalText(std::optional<std::string_view> text);
  explicit OptionalText(const std::optional<std::string>& text)
      : OptionalText(text ? std::optional<std::string_view>(*text) : std::nullopt) {}
  OptionalText(OptionalText&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  OptionalText& operator=(OptionalText&& other) noexcept;
  OptionalText(const OptionalText&) = delete;
  OptionalText& operator=(const OptionalText&) = delete;
  ~OptionalText() { delete[] data_; }

  bool has_value() const { return data_ != nullptr; }
  // The text; empty when absent.
  std::string_view view() const;
  std::optional<std::string> ToOptional() const;

 private:
  char* data_ = nullptr;
};

// The key lists of an entry (subjects, objects, keywords, tags, in turn) in
// one array of pooled texts: one allocation, 8 bytes an item.
class KeyLists {
 public:
  KeyLists() = default;
  KeyLists(KeyLists&& other) noexcept;
  KeyLists& operator=(KeyLists&& other) noexcept;
  KeyLists(const KeyLists&) = delete;
  KeyLists& operator=(const KeyLists&) = delete;
  ~KeyLists() { delete[] items_; }

  // Pools each text of the four lists. May throw, leaving the pool with
  // texts that nothing uses, which is harmless.
  static KeyLists Make(const MetadataEntry& e, TextPool& pool);
  // The same from lists of texts in that order.
  static KeyLists Make(const std::vector<std::string_view> (&lists)[4], TextPool::Memo& pool);

  // List `which`: 0 subjects, 1 objects, 2 keywords, 3 tags.
  TextSpan List(size_t which) const {
    const uint32_t begin = which == 0 ? 0 : ends_[which - 1];
    return {items_ + begin, ends_[which] - begin};
  }
  const void* data() const { return items_; }

 private:
  template <class Texts, class Pool>
  static KeyLists MakeFrom(const Texts* const (&lists)[4], Pool& pool);
  const PooledText** items_ = nullptr;
  uint32_t ends_[4] = {0, 0, 0, 0};
};

// An entry as the store keeps it: its memory_id, pointers into the store's
// text pool for every repeated text (whose lowercase forms searches compare
// against), and its numbers.
struct StoredEntry {
  std::string memory_id;  // first: an identifier list's pointer to it is this
  const PooledText* user_id = &kNoText;
  const PooledText* memory_type = &kNoText;
  KeyLists keys;
  double created_at = 0;
  uint32_t access_count = kDefaultAccessCount;
  uint8_t importance = kDefaultImportance;
  uint8_t confidence = kDefaultConfidence;
  // Where the entry sits: its entry_map shard and its slot there. Fixed
  // once stored.
  uint32_t shard = 0;
  uint32_t slot = 0;
  OptionalText chat_id;
  OptionalText content_preview;

  TextSpan Subjects() const { return keys.List(0); }
  TextSpan Objects() const { return keys.List(1); }
  TextSpan Keywords() const { return keys.List(2); }
  TextSpan Tags() const { return keys.List(3); }
  const std::string& UserId() const { return user_id->text; }
  const std::string& MemoryType() const { return memory_type->text; }
};

// Entries in the store's form as a reader makes them: in order, piece after
// piece, so that reading on several threads needs no copy into one array.
using StoredPieces = std::vector<std::vector<StoredEntry>>;

// The stored entry whose memory_id an identifier list points at.
inline const StoredEntry& StoredOf(const std::string* memory_id) {
  return *reinterpret_cast<const StoredEntry*>(memory_id);
}

// The texts of a list, in order.
std::vector<std::string> TextsOf(TextSpan list);

// What a scan tests first, kept for each entry in a dense array beside the
// entries: rejecting an entry on these reads a few bytes instead of its
// whole record (most queries reject most entries).
struct EntrySummary {
  double created_at = 0;
  uint32_t user_hash = 0;  // UserHash(entry.user_id)
  uint32_t type_code = 0;  // entry.memory_type's place among the shard's types
  uint8_t importance = 0;
  // The entry was deleted: its slot keeps only the memory_id, which
  // identifier lists and the slot index still point at, until an insert of
  // that memory_id fills it again.
  bool deleted = false;
};

// A run of consecutive entries of one entry_map shard: the entries, their
// summaries (summaries[i] describes entries[i]), and the shard's distinct
// memory types, indexed by type_code.
struct ShardRun {
  std::span<const StoredEntry> entries;
  std::span<const EntrySummary> summaries;
  std::span<const std::string> types;
};

// The secondary indexes, by what their keys are, and the user_ids, whose
// entries the store also finds for searches (the empty user_id included;
// an entry may be found that no longer belongs to the user, or twice).
enum class KeyIndex { kType, kSubject, kKeyword, kTag, kUser };

// Sets the fields of `stored` other than its memory_id and keys from `e`
// (a MetadataEntry, or any source with the same fields), its texts pooled
// through `pool` (a TextPool, or a thread's TextPool::Memo).
template <class Entry, class Pool>
void SetStoredFields(const Entry& e, Pool& pool, StoredEntry& stored) {
  stored.user_id = pool.Intern(e.user_id);
  stored.memory_type = pool.Intern(e.memory_type);
  stored.chat_id = OptionalText(e.chat_id);
  stored.content_preview = OptionalText(e.content_preview);
  stored.created_at = e.created_at;
  stored.access_count = e.access_count;
  stored.importance = e.importance;
  stored.confidence = e.confidence;
}

// `entry` as the store keeps it, its texts pooled in `pool`. May throw,
// leaving `entry` as it was.
StoredEntry MakeStored(MetadataEntry&& entry, TextPool& pool);

// The entry a stored one holds.
MetadataEntry ToEntry(const StoredEntry& stored);

// An entry's place in snapshot order as one number: its entry_map shard,
// then its slot there. Ordinals compare as (shard, slot) pairs do.
inline constexpr int kOrdinalSlotBits = 40;
inline constexpr uint64_t EntryOrdinal(size_t shard, size_t slot) {
  return (static_cast<uint64_t>(shard) << kOrdinalSlotBits) | slot;
}

}  // namespace velmar::memory
