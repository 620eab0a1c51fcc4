#include "memory/py_entry.hpp"

#include <time.h>

#include <cmath>
#include <string>
#include <utility>

#include "python/ref.hpp"

namespace velmar::python {

namespace {

using memory::kEntryFieldCount;
using memory::kEntryFieldNames;

// The keys as interned str objects, made once and kept for the life of the
// process (as the module itself is). Null when they could not be made.
PyObject* const* KeyObjects() {
  static PyObject* keys[kEntryFieldCount] = {};
  static bool ready = false;
  if (!ready) {
    for (int i = 0; i < kEntryFieldCount; ++i) {
      if (keys[i] == nullptr) keys[i] = PyUnicode_InternFromString(kEntryFieldNames[i]);
      if (keys[i] == nullptr) {
        PyErr_Clear();
        return nullptr;
      }
    }
    ready = true;
  }
  return keys;
}

// The value under `key` in the dict's own storage, as a strong reference: a
// later lookup or conversion may run Python code (a key's __eq__, a value's
// __index__) that drops the dict's own reference. Null when absent; a
// lookup error counts as absent.
Ref Lookup(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr) {
    PyErr_Clear();
    return {};
  }
  return Ref::Borrow(value);
}

// A str (or subclass) that can be encoded as UTF-8. One holding a lone
// surrogate cannot, and counts as not a str.
bool Text(PyObject* value, std::string& out) {
  if (value == nullptr || !PyUnicode_Check(value)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

// A list gives its usable str items, a str gives itself; anything else
// (tuples and sets included) gives nothing.
void TextList(PyObject* value, std::vector<std::string>& out) {
  if (value == nullptr) return;
  if (PyList_Check(value)) {
    // Nothing below runs Python code, so the list cannot change meanwhile.
    Py_ssize_t size = PyList_Size(value);
    out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      std::string text;
      if (Text(PyList_GetItem(value, i), text)) out.push_back(std::move(text));
    }
    PyErr_Clear();
    return;
  }
  std::string text;
  if (Text(value, text)) out.push_back(std::move(text));
}

// An integer (anything with __index__, bool included) from 0 to max.
bool Integer(PyObject* value, unsigned long long max, unsigned long long& out) {
  if (value == nullptr) return false;
  Ref index = Ref::Steal(PyNumber_Index(value));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v < 0 || static_cast<unsigned long long>(v) > max) return false;
  out = static_cast<unsigned long long>(v);
  return true;
}

// Anything float() accepts through __float__ or __index__, if finite. A
// non-finite time would make the index file unreadable, so it counts as
// unusable.
bool FiniteDouble(PyObject* value, double& out) {
  if (value == nullptr) return false;
  double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

void OptText(PyObject* value, std::optional<std::string>& out) {
  std::string text;
  if (Text(value, text)) out = std::move(text);
}

}  // namespace

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
  memory::MetadataEntry e;
  unsigned long long n = 0;
  Text(Lookup(dict, keys[memory::kMemoryId]).get(), e.memory_id);
  Text(Lookup(dict, keys[memory::kUserId]).get(), e.user_id);
  Text(Lookup(dict, keys[memory::kMemoryType]).get(), e.memory_type);
  TextList(Lookup(dict, keys[memory::kSubjects]).get(), e.subjects);
  TextList(Lookup(dict, keys[memory::kObjects]).get(), e.objects);
  TextList(Lookup(dict, keys[memory::kKeywords]).get(), e.keywords);
  TextList(Lookup(dict, keys[memory::kTags]).get(), e.tags);
  e.importance = Integer(Lookup(dict, keys[memory::kImportance]).get(), 255, n)
                     ? static_cast<uint8_t>(n) : 2;
  e.confidence = Integer(Lookup(dict, keys[memory::kConfidence]).get(), 255, n)
                     ? static_cast<uint8_t>(n) : 2;
  if (!FiniteDouble(Lookup(dict, keys[memory::kCreatedAt]).get(), e.created_at)) {
    e.created_at = CurrentTime();
  }
  e.access_count = Integer(Lookup(dict, keys[memory::kAccessCount]).get(), 0xffffffffULL, n)
                       ? static_cast<uint32_t>(n) : 0;
  OptText(Lookup(dict, keys[memory::kChatId]).get(), e.chat_id);
  OptText(Lookup(dict, keys[memory::kContentPreview]).get(), e.content_preview);

  if (e.memory_id.empty()) return std::nullopt;
  return e;
}

}  // namespace velmar::python
