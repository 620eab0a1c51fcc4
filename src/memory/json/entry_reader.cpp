#include "memory/json/entry_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/memory_pages.hpp"
#include "common/run_in_halves.hpp"

namespace velmar::memory {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

bool ReadJsonString(element v, std::string& out) {
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.assign(s);
  return true;
}

bool ReadJsonStringList(element v, std::vector<std::string>& out) {
  simdjson::dom::array array;
  if (v.get_array().get(array)) return false;
  out.clear();
  out.reserve(array.size());
  for (element item : array) {
    std::string_view s;
    if (item.get_string().get(s)) return false;
    out.emplace_back(s);
  }
  return true;
}

// A JSON integer (no fraction, no exponent) from 0 to max.
bool ReadUnsigned(element v, uint64_t max, uint64_t& out) {
  switch (v.type()) {
    case element_type::INT64: {
      int64_t i = v.get_int64().value_unsafe();
      if (i < 0 || static_cast<uint64_t>(i) > max) return false;
      out = static_cast<uint64_t>(i);
      return true;
    }
    case element_type::UINT64: {
      uint64_t u = v.get_uint64().value_unsafe();
      if (u > max) return false;
      out = u;
      return true;
    }
    default:
      return false;
  }
}

bool ReadNumber(element v, double& out) {
  switch (v.type()) {
    case element_type::INT64:
      out = static_cast<double>(v.get_int64().value_unsafe());
      return true;
    case element_type::UINT64:
      out = static_cast<double>(v.get_uint64().value_unsafe());
      return true;
    case element_type::DOUBLE:
      out = v.get_double().value_unsafe();
      return true;
    default:
      return false;
  }
}

bool ReadJsonOptionalString(element v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.emplace(s);
  return true;
}

bool ReadField(Field field, element v, MetadataEntry& e) {
  uint64_t u = 0;
  switch (field) {
    case kMemoryId:
      return ReadJsonString(v, e.memory_id);
    case kUserId:
      return ReadJsonString(v, e.user_id);
    case kMemoryType:
      return ReadJsonString(v, e.memory_type);
    case kSubjects:
      return ReadJsonStringList(v, e.subjects);
    case kObjects:
      return ReadJsonStringList(v, e.objects);
    case kKeywords:
      return ReadJsonStringList(v, e.keywords);
    case kTags:
      return ReadJsonStringList(v, e.tags);
    case kImportance:
      if (!ReadUnsigned(v, kEntryFields[field].max, u)) return false;
      e.importance = static_cast<uint8_t>(u);
      return true;
    case kConfidence:
      if (!ReadUnsigned(v, kEntryFields[field].max, u)) return false;
      e.confidence = static_cast<uint8_t>(u);
      return true;
    case kCreatedAt:
      return ReadNumber(v, e.created_at);
    case kAccessCount:
      if (!ReadUnsigned(v, kEntryFields[field].max, u)) return false;
      e.access_count = static_cast<uint32_t>(u);
      return true;
    case kChatId:
      return ReadJsonOptionalString(v, e.chat_id);
    case kContentPreview:
      return ReadJsonOptionalString(v, e.content_preview);
    default:
      return false;
  }
}

bool ReadObjectEntry(simdjson::dom::object object, MetadataEntry& e) {
  uint32_t seen = 0;
  // Keys we do not know are ignored, but a repeated one is still an error.
  std::vector<std::string_view> unknown;
  std::unordered_set<std::string_view> unknown_set;
  for (simdjson::dom::key_value_pair member : object) {
    Field field = FieldOf(member.key);
    if (field == kUnknown) {
      if (unknown_set.empty()) {
        if (std::find(unknown.begin(), unknown.end(), member.key) != unknown.end()) return false;
        unknown.push_back(member.key);
        if (unknown.size() > 16) unknown_set.insert(unknown.begin(), unknown.end());
      } else if (!unknown_set.insert(member.key).second) {
        return false;
      }
      continue;
    }
    const uint32_t bit = 1u << field;
    if (seen & bit) return false;
    seen |= bit;
    if (!ReadField(field, member.value, e)) return false;
  }
  return (seen & kRequiredFields) == kRequiredFields;
}

bool ReadPositionalEntry(simdjson::dom::array array, MetadataEntry& e) {
  int index = 0;
  for (element value : array) {
    if (index == kEntryFieldCount) return false;
    if (!ReadField(static_cast<Field>(index), value, e)) return false;
    ++index;
  }
  return index == kEntryFieldCount;
}

}  // namespace

// Back to the values of a new entry, keeping what the strings and lists
// have allocated for the next one.
void Clear(MetadataEntry& e) {
  e.memory_id.clear();
  e.user_id.clear();
  e.memory_type.clear();
  for (auto* list : {&e.subjects, &e.objects, &e.keywords, &e.tags}) list->clear();
  e.importance = kDefaultImportance;
  e.confidence = kDefaultConfidence;
  e.created_at = 0;
  e.access_count = kDefaultAccessCount;
  e.chat_id.reset();
  e.content_preview.reset();
}

// Reads the elements of `top` from position `first` to `last` into out[0],
// out[1], ..., each read into one reused entry and then made into the
// store's form, so that reading allocates only what the store keeps.
bool ReadEntries(simdjson::dom::array top, size_t first, size_t last, TextPool& pool,
                 StoredEntry* out) {
  auto it = top.begin();
  for (size_t i = 0; i < first; ++i) ++it;
  MetadataEntry e;
  for (size_t i = first; i < last; ++i, ++it) {
    element item = *it;
    Clear(e);
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (!item.get_object().get(object)) {
      if (!ReadObjectEntry(object, e)) return false;
    } else if (!item.get_array().get(array)) {
      if (!ReadPositionalEntry(array, e)) return false;
    } else {
      return false;
    }
    *out++ = MakeStored(std::move(e), pool);
  }
  return true;
}

// Parses the `size` bytes at `padded` (followed by SIMDJSON_PADDING
// readable bytes) with `parser`, nesting at most 128 deep, into the
// top-level array `top`. simdjson validates the UTF-8 of the whole text as
// it goes. A parse error is left in *error.
bool ParseArray(simdjson::dom::parser& parser, const char* padded, size_t size,
                simdjson::dom::array& top, simdjson::error_code* error) {
  *error = parser.allocate(size, 128);
  if (*error) return false;
  element root;
  *error = parser.parse(padded, size, /*realloc_if_needed=*/false).get(root);
  if (*error) return false;
  *error = root.get_array().get(top);
  return !*error;
}

// Errors that valid JSON can raise in simdjson: a number beyond what a
// 64-bit integer or a double holds, a lone surrogate escape in a string.
// Text failing with one of these may still be an index file (Mend).
bool MayMend(simdjson::error_code error) {
  return error == simdjson::NUMBER_ERROR ||
         error == simdjson::STRING_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE;
}

// The entries of `first` followed by those of `second` (when there is one).
// The entries are independent: with `two_threads`, each array, or each half
// of the only one, is read on its own thread.
std::optional<std::vector<StoredEntry>> ReadArrays(simdjson::dom::array first,
                                                   const simdjson::dom::array* second,
                                                   bool two_threads, TextPool& pool) {
  const size_t n1 = first.size();
  const size_t n2 = second != nullptr ? second->size() : 0;
  std::vector<StoredEntry> entries;
  entries.reserve(n1 + n2);
  AdviseHugePages(entries.data(), entries.capacity() * sizeof(StoredEntry));
  entries.resize(n1 + n2);
  StoredEntry* out = entries.data();
  bool ok[2] = {true, true};
  RunInHalves(two_threads, [&](int half) {
    if (second != nullptr) {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1, pool, out)
                           : ReadEntries(*second, 0, n2, pool, out + n1);
    } else {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1 / 2, pool, out)
                           : ReadEntries(first, n1 / 2, n1, pool, out + n1 / 2);
    }
  });
  if (!ok[0] || !ok[1]) return std::nullopt;
  return entries;
}

}  // namespace velmar::memory
