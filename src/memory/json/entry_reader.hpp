#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <optional>
#include <vector>

#include <simdjson.h>

#include "memory/entry.hpp"
#include "memory/json/index_json.hpp"
#include "memory/store/stored_entry.hpp"

// Reading entries out of a parsed index file.

namespace velmar::memory {

// An index into the entry's fields, or kUnknown for a key to ignore.
using Field = int;
constexpr Field kUnknown = -1;

// The fields the object form must carry, one bit each.
constexpr uint32_t kRequiredFields = [] {
  uint32_t bits = 0;
  for (int f = 0; f < kEntryFieldCount; ++f) {
    if (kEntryFields[f].required) bits |= 1u << f;
  }
  return bits;
}();

// The field named `key`, or kUnknown.
constexpr Field FieldOf(std::string_view key) {
  switch (key.size()) {
    case 4:
      if (key == "tags") return kTags;
      break;
    case 7:
      if (key == "user_id") return kUserId;
      if (key == "objects") return kObjects;
      if (key == "chat_id") return kChatId;
      break;
    case 8:
      if (key == "subjects") return kSubjects;
      if (key == "keywords") return kKeywords;
      break;
    case 9:
      if (key == "memory_id") return kMemoryId;
      break;
    case 10:
      if (key == "importance") return kImportance;
      if (key == "confidence") return kConfidence;
      if (key == "created_at") return kCreatedAt;
      break;
    case 11:
      if (key == "memory_type") return kMemoryType;
      break;
    case 12:
      if (key == "access_count") return kAccessCount;
      break;
    case 15:
      if (key == "content_preview") return kContentPreview;
      break;
  }
  return kUnknown;
}

// FieldOf knows every name of the field table, and knows it as its own field.
constexpr bool FieldOfMatchesTable() {
  for (int f = 0; f < kEntryFieldCount; ++f) {
    if (FieldOf(kEntryFields[f].name) != f) return false;
  }
  return true;
}
static_assert(FieldOfMatchesTable());

// Reads the elements of `top` from position `first` to `last` into out[0],
// out[1], ..., their texts pooled through `pool`, and names the keys beyond
// the thirteen to `ignored` (when given). False at the first element that
// is not an entry.
bool ReadEntries(simdjson::dom::array top, size_t first, size_t last, TextPool::Memo& pool,
                 StoredEntry* out, IgnoredKeys* ignored);

// Parses the `size` bytes at `padded` (followed by SIMDJSON_PADDING
// readable bytes) with `parser`, nesting at most 128 deep, into the
// top-level array `top`. simdjson validates the UTF-8 of the whole text as
// it goes. A parse error is left in *error.
bool ParseArray(simdjson::dom::parser& parser, const char* padded, size_t size,
                simdjson::dom::array& top, simdjson::error_code* error);

// Errors that valid JSON can raise in simdjson: a number beyond what a
// 64-bit integer or a double holds, a lone surrogate escape in a string.
// Text failing with one of these may still be an index file (see Mend).
bool MayMend(simdjson::error_code error);

// The entries of `first` followed by those of `second` (when there is one).
// The entries are independent: with `two_threads`, each array, or each half
// of the only one, is read on its own thread.
std::optional<std::vector<StoredEntry>> ReadArrays(simdjson::dom::array first,
                                                   const simdjson::dom::array* second,
                                                   bool two_threads, TextPool& pool,
                                                   IgnoredKeys* ignored);

}  // namespace velmar::memory
