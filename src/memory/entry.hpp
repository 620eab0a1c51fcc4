#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// What a field holds, as the index file and a Python dict give it.
enum class FieldKind {
  kText,          // a string
  kTextList,      // a list of strings
  kInteger,       // a whole number from 0 to FieldSpec::max
  kNumber,        // any number, kept as a double
  kOptionalText,  // a string, or absent (null in the file)
};

// One field of an entry: its key, its kind, and for integers the largest
// value and the value a missing or unusable one takes.
struct FieldSpec {
  std::string_view name;
  FieldKind kind;
  uint64_t max = 0;
  uint64_t fallback = 0;
  // The object form of the index file must carry the key.
  bool required = true;
};

// The one table of the entry's fields. The JSON reader and writer and the
// conversion from a Python dict take names, ranges and defaults from here;
// a check beside each one ties its own field order to this table.
inline constexpr FieldSpec kEntryFields[kEntryFieldCount] = {
    {"memory_id", FieldKind::kText},
    {"user_id", FieldKind::kText},
    {"memory_type", FieldKind::kText},
    {"subjects", FieldKind::kTextList},
    {"objects", FieldKind::kTextList},
    {"keywords", FieldKind::kTextList},
    {"tags", FieldKind::kTextList},
    {"importance", FieldKind::kInteger, 255, 2},
    {"confidence", FieldKind::kInteger, 255, 2},
    {"created_at", FieldKind::kNumber},
    {"access_count", FieldKind::kInteger, 0xffffffffULL, 0},
    {"chat_id", FieldKind::kOptionalText, 0, 0, false},
    {"content_preview", FieldKind::kOptionalText, 0, 0, false},
};

// The defaults of the record agree with the table.
static_assert(MetadataEntry{}.importance == kEntryFields[kImportance].fallback);
static_assert(MetadataEntry{}.confidence == kEntryFields[kConfidence].fallback);
static_assert(MetadataEntry{}.access_count == kEntryFields[kAccessCount].fallback);
static_assert(kEntryFields[kImportance].max == UINT8_MAX && kEntryFields[kConfidence].max == UINT8_MAX);
static_assert(kEntryFields[kAccessCount].max == UINT32_MAX);

}  // namespace velmar::memory
