#include "python/memory/py_entry.hpp"

#include <time.h>

#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/lenient.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

using memory::kEntryFieldCount;
using memory::kEntryFields;

// The keys as interned str objects, made once and kept for the life of the
// process (as the module itself is). Null when they could not be made.
PyObject* const* KeyObjects() {
  static PyObject* keys[kEntryFieldCount] = {};
  static bool ready = false;
  if (!ready) {
    for (int i = 0; i < kEntryFieldCount; ++i) {
      if (keys[i] == nullptr) {
        const std::string_view name = kEntryFields[i].name;
        keys[i] = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (keys[i] != nullptr) PyUnicode_InternInPlace(&keys[i]);
      }
      if (keys[i] == nullptr) {
        PyErr_Clear();
        return nullptr;
      }
    }
    ready = true;
  }
  return keys;
}

}  // namespace

Ref EntryToDict(const memory::MetadataEntry& e) {
  PyObject* const* keys = KeyObjects();
  if (keys == nullptr) {
    PyErr_NoMemory();
    throw PythonErrorSet{};
  }
  Ref dict = Check(PyDict_New());
  auto set = [&](int field, Ref value) {
    CheckStatus(PyDict_SetItem(dict.get(), keys[field], value.get()));
  };
  auto optional = [](const std::optional<std::string>& text) {
    return text ? NewStr(*text) : Ref::Borrow(Py_None);
  };
  // In the order of the field table: a dict keeps the order of insertion.
  set(memory::kMemoryId, NewStr(e.memory_id));
  set(memory::kUserId, NewStr(e.user_id));
  set(memory::kMemoryType, NewStr(e.memory_type));
  set(memory::kSubjects, NewStrList(e.subjects));
  set(memory::kObjects, NewStrList(e.objects));
  set(memory::kKeywords, NewStrList(e.keywords));
  set(memory::kTags, NewStrList(e.tags));
  set(memory::kImportance, NewInt(e.importance));
  set(memory::kConfidence, NewInt(e.confidence));
  set(memory::kCreatedAt, NewFloat(e.created_at));
  set(memory::kAccessCount, NewInt(e.access_count));
  set(memory::kChatId, optional(e.chat_id));
  set(memory::kContentPreview, optional(e.content_preview));
  return dict;
}

double CurrentTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::optional<memory::MetadataEntry> entry_from_dict(PyObject* dict) {
  PyObject* const* keys = KeyObjects();
  if (keys == nullptr) return std::nullopt;

  // Every key is taken, in field order, even when memory_id already rules
  // the dict out: taking a value may run the caller's code, and that should
  // not depend on the other fields.
  auto value = [&](int field) { return Lookup(dict, keys[field]); };
  // Text is copied once, straight from the str's own UTF-8 into the entry.
  auto text = [&](int field, auto& out) {
    Ref v = value(field);
    if (std::optional<std::string_view> t = TextOf(v.get())) {
      if constexpr (std::is_same_v<std::remove_reference_t<decltype(out)>, std::string>) {
        out.assign(*t);
      } else {
        out.emplace(*t);
      }
    }
  };
  memory::MetadataEntry e;
  text(memory::kMemoryId, e.memory_id);
  text(memory::kUserId, e.user_id);
  text(memory::kMemoryType, e.memory_type);
  e.subjects = ReadTextList(value(memory::kSubjects).get());
  e.objects = ReadTextList(value(memory::kObjects).get());
  e.keywords = ReadTextList(value(memory::kKeywords).get());
  e.tags = ReadTextList(value(memory::kTags).get());
  // Integers in the field's range, else its default (the field table's).
  auto integer = [&](int field) {
    const memory::FieldSpec& spec = kEntryFields[field];
    return ReadInteger(value(field).get(), spec.max).value_or(spec.fallback);
  };
  e.importance = static_cast<uint8_t>(integer(memory::kImportance));
  e.confidence = static_cast<uint8_t>(integer(memory::kConfidence));
  // A non-finite time would make the index file unreadable, so it counts as
  // unusable.
  std::optional<double> created_at = ReadDouble(value(memory::kCreatedAt).get());
  e.created_at = created_at && std::isfinite(*created_at) ? *created_at : CurrentTime();
  e.access_count = static_cast<uint32_t>(integer(memory::kAccessCount));
  text(memory::kChatId, e.chat_id);
  text(memory::kContentPreview, e.content_preview);

  if (e.memory_id.empty()) return std::nullopt;
  return e;
}

}  // namespace velmar::python
