#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmar::memory {

// The metadata of one stored memory. Field order is the order of the keys in
// the index file and of the values in its positional form.
struct MetadataEntry {
  std::string memory_id;
  std::string user_id;
  std::string memory_type;
  std::vector<std::string> subjects;
  std::vector<std::string> objects;
  std::vector<std::string> keywords;
  std::vector<std::string> tags;
  uint8_t importance = 2;
  uint8_t confidence = 2;
  double created_at = 0.0;
  uint32_t access_count = 0;
  std::optional<std::string> chat_id;
  std::optional<std::string> content_preview;

  bool operator==(const MetadataEntry&) const = default;
};

// The fields in declaration order, which is also the order of the keys in
// the index file and of the values in its positional form.
enum EntryField : int {
  kMemoryId,
  kUserId,
  kMemoryType,
  kSubjects,
  kObjects,
  kKeywords,
  kTags,
  kImportance,
  kConfidence,
  kCreatedAt,
  kAccessCount,
  kChatId,
  kContentPreview,
  kEntryFieldCount,
};

inline constexpr const char* kEntryFieldNames[kEntryFieldCount] = {
    "memory_id",  "user_id",    "memory_type", "subjects",     "objects",
    "keywords",   "tags",       "importance",  "confidence",   "created_at",
    "access_count", "chat_id",  "content_preview",
};

}  // namespace velmar::memory
