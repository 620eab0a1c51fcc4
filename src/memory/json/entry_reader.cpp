#include "memory/json/entry_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
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

// An entry as read, its texts still in the parser's buffers: reading one
// allocates nothing once the lists have grown to the longest seen.
struct EntryView {
  std::string_view memory_id, user_id, memory_type;
  std::vector<std::string_view> lists[4];  // subjects, objects, keywords, tags
  uint8_t importance = kDefaultImportance;
  uint8_t confidence = kDefaultConfidence;
  double created_at = 0;
  uint32_t access_count = kDefaultAccessCount;
  std::optional<std::string_view> chat_id, content_preview;

  // Back to the values of a new entry, keeping the lists' room.
  void Clear() {
    memory_id = user_id = memory_type = {};
    for (auto& list : lists) list.clear();
    importance = kDefaultImportance;
    confidence = kDefaultConfidence;
    created_at = 0;
    access_count = kDefaultAccessCount;
    chat_id.reset();
    content_preview.reset();
  }
};

bool ReadJsonString(element v, std::string_view& out) { return !v.get_string().get(out); }

bool ReadJsonStringList(element v, std::vector<std::string_view>& out) {
  simdjson::dom::array array;
  if (v.get_array().get(array)) return false;
  out.clear();
  for (element item : array) {
    std::string_view s;
    if (item.get_string().get(s)) return false;
    out.push_back(s);
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

bool ReadJsonOptionalString(element v, std::optional<std::string_view>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.emplace(s);
  return true;
}

bool ReadField(Field field, element v, EntryView& e) {
  uint64_t u = 0;
  switch (field) {
    case kMemoryId:
      return ReadJsonString(v, e.memory_id);
    case kUserId:
      return ReadJsonString(v, e.user_id);
    case kMemoryType:
      return ReadJsonString(v, e.memory_type);
    case kSubjects:
      return ReadJsonStringList(v, e.lists[0]);
    case kObjects:
      return ReadJsonStringList(v, e.lists[1]);
    case kKeywords:
      return ReadJsonStringList(v, e.lists[2]);
    case kTags:
      return ReadJsonStringList(v, e.lists[3]);
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

// Adds to *met each key of `keys` it does not hold yet, up to
// IgnoredKeys::kNamed of them: a file holding a new key in every entry is
// still read at full speed.
void NoteKeys(const std::vector<std::string_view>& keys, std::vector<std::string_view>* met) {
  for (std::string_view key : keys) {
    if (met->size() > IgnoredKeys::kNamed) return;
    if (std::find(met->begin(), met->end(), key) == met->end()) met->push_back(key);
  }
}

bool ReadObjectEntry(simdjson::dom::object object, EntryView& e,
                     std::vector<std::string_view>* ignored) {
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
  if (!unknown.empty()) NoteKeys(unknown, ignored);
  return (seen & kRequiredFields) == kRequiredFields;
}

bool ReadPositionalEntry(simdjson::dom::array array, EntryView& e) {
  int index = 0;
  for (element value : array) {
    if (index == kEntryFieldCount) return false;
    if (!ReadField(static_cast<Field>(index), value, e)) return false;
    ++index;
  }
  return index == kEntryFieldCount;
}

}  // namespace

// Reads the elements of `top` from position `first` to `last` into out[0],
// out[1], ..., each read into one reused view and then made into the
// store's form, so that reading allocates only what the store keeps.
bool ReadEntries(simdjson::dom::array top, size_t first, size_t last, TextPool::Memo& pool,
                 StoredEntry* out, IgnoredKeys* ignored) {
  auto it = top.begin();
  for (size_t i = 0; i < first; ++i) ++it;
  EntryView e;
  // The keys beyond the thirteen met here, named to `ignored` at the end
  // (their texts live in the parser until then).
  std::vector<std::string_view> met;
  for (size_t i = first; i < last; ++i, ++it) {
    element item = *it;
    e.Clear();
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (!item.get_object().get(object)) {
      if (!ReadObjectEntry(object, e, &met)) return false;
    } else if (!item.get_array().get(array)) {
      if (!ReadPositionalEntry(array, e)) return false;
    } else {
      return false;
    }
    StoredEntry& stored = *out++;
    SetStoredFields(e, pool, stored);
    stored.keys = KeyLists::Make(e.lists, pool);
    stored.memory_id.assign(e.memory_id);
  }
  if (!met.empty() && ignored != nullptr) ignored->Add(met);
  return true;
}

void IgnoredKeys::Add(const std::vector<std::string_view>& keys) {
  std::lock_guard lock(mutex_);
  for (std::string_view key : keys) {
    if (std::find(names_.begin(), names_.end(), key) != names_.end()) continue;
    if (names_.size() == kNamed) {
      more_ = true;
      return;
    }
    names_.emplace_back(key);
  }
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
                                                   bool two_threads, TextPool& pool,
                                                   IgnoredKeys* ignored) {
  const size_t n1 = first.size();
  const size_t n2 = second != nullptr ? second->size() : 0;
  std::vector<StoredEntry> entries;
  entries.reserve(n1 + n2);
  AdviseHugePages(entries.data(), entries.capacity() * sizeof(StoredEntry));
  entries.resize(n1 + n2);
  StoredEntry* out = entries.data();
  bool ok[2] = {true, true};
  RunInHalves(two_threads, [&](int half) {
    TextPool::Memo memo(pool);
    if (second != nullptr) {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1, memo, out, ignored)
                           : ReadEntries(*second, 0, n2, memo, out + n1, ignored);
    } else {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1 / 2, memo, out, ignored)
                           : ReadEntries(first, n1 / 2, n1, memo, out + n1 / 2, ignored);
    }
  });
  if (!ok[0] || !ok[1]) return std::nullopt;
  return entries;
}

}  // namespace velmar::memory
