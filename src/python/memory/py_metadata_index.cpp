#include "python/memory/py_metadata_index.hpp"

// PyMetadataIndex: each method's argument table sits beside its code.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <memory>
#include <utility>

#include "memory/persistence.hpp"
#include "memory/search.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/memory/py_entry.hpp"
#include "python/memory/py_query.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

// The path as the file system sees it: str encoded with the file-system
// encoding and its error handler, as os.fsencode does, so a name that is
// not valid UTF-8 (held by Python with escaped surrogates) still names the
// same file. Any other lone surrogate is passed through as its own bytes
// rather than refused: every str is a path.
std::optional<std::string> ToIndexPath(PyObject* obj, const char* arg) {
  if (!PyUnicode_Check(obj)) ThrowConversionError(obj, arg, "PyString");
  Ref bytes = Ref::Steal(PyUnicode_EncodeFSDefault(obj));
  if (!bytes && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    PyErr_Clear();
    bytes = Ref::Steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  }
  if (!bytes) throw PythonErrorSet{};
  char* data = nullptr;
  Py_ssize_t size = 0;
  CheckStatus(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
  return std::string(data, static_cast<size_t>(size));
}

const Args kIndexArgs{{"PyMetadataIndex"},
                      Optional<ToIndexPath>{"path", std::nullopt}};

MetadataIndex MakeIndex(std::optional<std::string> path) {
  MetadataIndex index{std::move(path), std::make_shared<memory::MetadataStore>(), false};
  if (index.path) {
    index.unreadable_on_disk = !memory::LoadIndexFile(*index.path, *index.store).has_value();
  }
  return index;
}

const Args kBatchAddArgs{{"batch_add", kSelf}, Required<ToObject>{"entries"}};

Ref BatchAdd(PyObject* self, PyObject* entries) {
  uint64_t stored = 0;
  if (PyList_Check(entries)) {
    memory::MetadataStore& store = *MetadataIndexClass::Of(self).store;
    // Converting an item can run the caller's code (__index__, __float__,
    // a key's __eq__, a __del__), which may change the list. The walk
    // covers at most the length first seen, ends early when the list has
    // become shorter (its length is read again before every step), and
    // holds each item by a strong reference while converting it.
    const Py_ssize_t first_length = PyList_Size(entries);
    size_t dicts = 0;  // counting runs no Python code
    for (Py_ssize_t i = 0; i < first_length; ++i) {
      if (PyDict_Check(PyList_GetItem(entries, i))) ++dicts;
    }
    store.Reserve(dicts);
    for (Py_ssize_t i = 0; i < std::min(first_length, PyList_Size(entries)); ++i) {
      Ref item = Ref::Borrow(PyList_GetItem(entries, i));
      if (!item) {
        PyErr_Clear();
        break;
      }
      if (!PyDict_Check(item.get())) continue;
      std::optional<memory::MetadataEntry> entry = entry_from_dict(item.get());
      if (!entry) continue;
      store.insert_entry(std::move(*entry));
      ++stored;
    }
  }
  return NewInt(stored);
}

const Args kSearchStrictArgs{{"search_strict", kSelf}, Required<ToDict>{"params"}};

Ref SearchStrict(PyObject* self, PyObject* params) {
  const memory::StrictQuery query = ReadStrictQuery(params);
  return NewStrList(memory::SearchStrict(*MetadataIndexClass::Of(self).store, query));
}

const Args kSearchFlexibleArgs{{"search_flexible", kSelf}, Required<ToDict>{"params"}};

Ref SearchFlexible(PyObject* self, PyObject* params) {
  const memory::FlexibleQuery query = ReadFlexibleQuery(params);
  return NewStrList(memory::SearchFlexible(*MetadataIndexClass::Of(self).store, query));
}

const Args kStatsArgs{{"stats", kSelf}};

void SetCount(PyObject* dict, const char* key, size_t value) {
  CheckStatus(PyDict_SetItemString(dict, key, NewInt(value).get()));
}

Ref Stats(PyObject* self) {
  const memory::MetadataStore& store = *MetadataIndexClass::Of(self).store;
  Ref result = Check(PyDict_New());
  const memory::MetadataStore::KeyCounts counts = store.CountKeys();
  SetCount(result.get(), "total", counts.entries);
  SetCount(result.get(), "types_indexed", counts.types);
  SetCount(result.get(), "subjects_indexed", counts.subjects);
  SetCount(result.get(), "keywords_indexed", counts.keywords);
  SetCount(result.get(), "tags_indexed", counts.tags);
  Ref dist = Check(PyDict_New());
  for (const auto& [type, count] : store.TypeDistribution()) {
    CheckStatus(PyDict_SetItem(dist.get(), NewStr(type).get(), NewInt(count).get()));
  }
  CheckStatus(PyDict_SetItemString(result.get(), "types_dist", dist.get()));
  return result;
}

const Args kSaveArgs{{"save", kSelf}};

Ref Save(PyObject* self) {
  MetadataIndex& index = MetadataIndexClass::Of(self);
  if (!index.path) return Ref::Borrow(Py_False);
  const bool saved =
      memory::SaveIndexFile(*index.path, *index.store, index.unreadable_on_disk).has_value();
  // The unreadable file has been kept aside; later saves replace the file
  // they wrote themselves.
  if (saved) index.unreadable_on_disk = false;
  return Ref::Borrow(saved ? Py_True : Py_False);
}

PyMethodDef kMethods[] = {
    Def<kBatchAddArgs, BatchAdd>(),
    Def<kSearchStrictArgs, SearchStrict>(),
    Def<kSearchFlexibleArgs, SearchFlexible>(),
    Def<kStatsArgs, Stats>(),
    Def<kSaveArgs, Save>(),
    kEndOfMethods,
};

MetadataIndexClass g_index_class{{
    .name = "velmar.memory.PyMetadataIndex",
    .constructor = Constructor<kIndexArgs, MakeIndex>(),
    .methods = kMethods,
}};

}  // namespace

}  // namespace velmar::python
