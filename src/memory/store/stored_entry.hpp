#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "memory/entry.hpp"

namespace velmar::memory {

// An entry as the store keeps it, with the lowercase forms that searches
// compare against, computed once at insertion. A lower_* list is left empty
// when it would equal the original list; use the accessors.
struct StoredEntry {
  MetadataEntry entry;  // first: an identifier list's pointer to entry.memory_id is this
  std::vector<std::string> lower_subjects;
  std::vector<std::string> lower_objects;
  std::vector<std::string> lower_keywords;
  // Where the entry sits: its entry_map shard and its slot there. Fixed
  // once stored.
  uint32_t shard = 0;
  uint32_t slot = 0;

  const std::vector<std::string>& LowerSubjects() const {
    return lower_subjects.empty() ? entry.subjects : lower_subjects;
  }
  const std::vector<std::string>& LowerObjects() const {
    return lower_objects.empty() ? entry.objects : lower_objects;
  }
  const std::vector<std::string>& LowerKeywords() const {
    return lower_keywords.empty() ? entry.keywords : lower_keywords;
  }
};

// The stored entry whose memory_id an identifier list points at.
inline const StoredEntry& StoredOf(const std::string* memory_id) {
  return *reinterpret_cast<const StoredEntry*>(memory_id);
}

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

// The lowercase forms of `entry`'s subjects, objects and keywords, with the
// entry taken over.
StoredEntry MakeStored(MetadataEntry&& entry);

// An entry's place in snapshot order as one number: its entry_map shard,
// then its slot there. Ordinals compare as (shard, slot) pairs do.
inline constexpr int kOrdinalSlotBits = 40;
inline constexpr uint64_t EntryOrdinal(size_t shard, size_t slot) {
  return (static_cast<uint64_t>(shard) << kOrdinalSlotBits) | slot;
}

}  // namespace velmar::memory
