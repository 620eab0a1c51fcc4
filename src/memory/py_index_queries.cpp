// search_strict, search_flexible, stats and save of PyMetadataIndex.
//
// Query parameters are read leniently: a value of the wrong type or range
// makes its key count as absent, and no exception is raised or left pending
// for it. Only a `params` that is not a dict raises.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "memory/persistence.hpp"
#include "memory/py_metadata_index.hpp"
#include "memory/search.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

// The value under `key`, looked up in the dict's own storage; a null Ref
// when it is absent. A failing lookup (a key whose comparison raises) counts
// as absent too.
Ref Lookup(PyObject* params, const char* key) {
  Ref name = Ref::Steal(PyUnicode_FromString(key));
  if (!name) throw PythonErrorSet{};
  PyObject* value = PyDict_GetItemWithError(params, name.get());
  if (value == nullptr) {
    PyErr_Clear();
    return {};
  }
  // A strong reference: converting a later value may run Python code that
  // changes the dict.
  return Ref::Borrow(value);
}

// A str (or subclass) that can be encoded as UTF-8.
std::optional<std::string> ReadText(PyObject* obj) {
  if (obj == nullptr || !PyUnicode_Check(obj)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a lone surrogate: not usable text
    return std::nullopt;
  }
  return std::string(utf8, static_cast<size_t>(size));
}

// A sequence (by the interpreter's sequence check) that is not a str and
// whose items are all usable str. Anything else drops the condition, which
// an empty result also means.
std::vector<std::string> ReadTextSequence(PyObject* obj) {
  std::vector<std::string> out;
  if (obj == nullptr || PyUnicode_Check(obj) || !PySequence_Check(obj)) return out;
  // The length is re-read each step, since reading an item may run code that
  // changes the sequence.
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
      PyErr_Clear();
      return {};
    }
    if (i >= size) break;
    Ref item = Ref::Steal(PySequence_GetItem(obj, i));
    if (!item) {
      PyErr_Clear();
      return {};
    }
    std::optional<std::string> text = ReadText(item.get());
    if (!text) return {};
    out.push_back(std::move(*text));
  }
  return out;
}

// An integer through the interpreter's integer-index conversion, within
// [0, max].
std::optional<uint64_t> ReadInteger(PyObject* obj, uint64_t max) {
  if (obj == nullptr) return std::nullopt;
  Ref index = Ref::Steal(PyNumber_Index(obj));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // negative or beyond 64 bits
    return std::nullopt;
  }
  if (v > max) return std::nullopt;
  return static_cast<uint64_t>(v);
}

std::optional<uint8_t> ReadByte(PyObject* obj) {
  std::optional<uint64_t> v = ReadInteger(obj, 255);
  if (!v) return std::nullopt;
  return static_cast<uint8_t>(*v);
}

// Anything the interpreter converts to a float (a float, an int, an object
// with __float__ or __index__).
std::optional<double> ReadFloat(PyObject* obj) {
  if (obj == nullptr) return std::nullopt;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

uint64_t ReadLimit(PyObject* params) {
  Ref value = Lookup(params, "limit");
  return ReadInteger(value.get(), UINT64_MAX).value_or(100);
}

// Binds the one argument `params` and checks that it is a dict.
PyObject* BindParams(const char* function, PyObject* args, PyObject* kwargs) {
  PyObject* params = nullptr;
  if (!BindArgs(function, args, kwargs, {"params"}, 1, &params)) return nullptr;
  if (!CheckDict(params, "params")) return nullptr;
  return params;
}

memory::StrictQuery ReadStrictQuery(PyObject* params) {
  memory::StrictQuery q;
  q.user_id = ReadText(Lookup(params, "user_id").get());
  q.memory_types = ReadTextSequence(Lookup(params, "memory_types").get());
  q.subjects = ReadTextSequence(Lookup(params, "subjects").get());
  q.keywords = ReadTextSequence(Lookup(params, "keywords").get());
  q.tags = ReadTextSequence(Lookup(params, "tags").get());
  q.importance_min = ReadByte(Lookup(params, "importance_min").get());
  q.importance_max = ReadByte(Lookup(params, "importance_max").get());
  q.created_after = ReadFloat(Lookup(params, "created_after").get());
  q.created_before = ReadFloat(Lookup(params, "created_before").get());
  q.limit = ReadLimit(params);
  return q;
}

memory::FlexibleQuery ReadFlexibleQuery(PyObject* params) {
  memory::FlexibleQuery q;
  q.user_id = ReadText(Lookup(params, "user_id").get());
  q.memory_types = ReadTextSequence(Lookup(params, "memory_types").get());
  q.subjects = ReadTextSequence(Lookup(params, "subjects").get());
  q.created_after = ReadFloat(Lookup(params, "created_after").get());
  q.created_before = ReadFloat(Lookup(params, "created_before").get());
  q.limit = ReadLimit(params);
  return q;
}

PyObject* NewStrList(const std::vector<std::string>& items) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    Ref s = NewStr(items[i]);
    if (!s) return nullptr;
    // PyList_SetItem takes over the reference, also on failure.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s.release()) < 0) return nullptr;
  }
  return list.release();
}

bool SetCount(PyObject* dict, const char* key, size_t value) {
  Ref v = NewInt(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

}  // namespace

PyObject* IndexSearchStrict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* params = BindParams("search_strict", args, kwargs);
    if (params == nullptr) return nullptr;
    const memory::StrictQuery query = ReadStrictQuery(params);
    return NewStrList(memory::SearchStrict(*IndexOf(self).store, query));
  });
}

PyObject* IndexSearchFlexible(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* params = BindParams("search_flexible", args, kwargs);
    if (params == nullptr) return nullptr;
    const memory::FlexibleQuery query = ReadFlexibleQuery(params);
    return NewStrList(memory::SearchFlexible(*IndexOf(self).store, query));
  });
}

PyObject* IndexStats(PyObject* self, PyObject*) {
  return Boundary([&]() -> PyObject* {
    const memory::MetadataStore& store = *IndexOf(self).store;
    Ref result = Ref::Steal(PyDict_New());
    if (!result) return nullptr;
    const memory::MetadataStore::KeyCounts counts = store.CountKeys();
    if (!SetCount(result.get(), "total", counts.entries) ||
        !SetCount(result.get(), "types_indexed", counts.types) ||
        !SetCount(result.get(), "subjects_indexed", counts.subjects) ||
        !SetCount(result.get(), "keywords_indexed", counts.keywords) ||
        !SetCount(result.get(), "tags_indexed", counts.tags)) {
      return nullptr;
    }
    Ref dist = Ref::Steal(PyDict_New());
    if (!dist) return nullptr;
    for (const auto& [type, count] : store.TypeDistribution()) {
      Ref key = NewStr(type);
      Ref value = NewInt(count);
      if (!key || !value || PyDict_SetItem(dist.get(), key.get(), value.get()) < 0) {
        return nullptr;
      }
    }
    if (PyDict_SetItemString(result.get(), "types_dist", dist.get()) < 0) return nullptr;
    return result.release();
  });
}

PyObject* IndexSave(PyObject* self, PyObject*) {
  return Boundary([&]() -> PyObject* {
    MetadataIndex& index = IndexOf(self);
    if (!index.path) Py_RETURN_FALSE;
    const bool saved = memory::SaveIndexFile(*index.path, *index.store, index.unreadable_on_disk);
    // The unreadable file has been kept aside; later saves replace the file
    // they wrote themselves.
    if (saved) index.unreadable_on_disk = false;
    return PyBool_FromLong(saved);
  });
}

}  // namespace velmar::python
