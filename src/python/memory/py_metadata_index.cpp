#include "python/memory/py_metadata_index.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "memory/persistence.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/memory/py_entry.hpp"
#include "python/types.hpp"

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
    index.unreadable_on_disk =
        memory::LoadIndexFile(*index.path, *index.store) == memory::LoadResult::kUnreadable;
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
const Args kSearchFlexibleArgs{{"search_flexible", kSelf}, Required<ToDict>{"params"}};
const Args kStatsArgs{{"stats", kSelf}};
const Args kSaveArgs{{"save", kSelf}};

PyMethodDef kMethods[] = {
    Def<kBatchAddArgs, BatchAdd>(),
    Def<kSearchStrictArgs, IndexSearchStrict>(),
    Def<kSearchFlexibleArgs, IndexSearchFlexible>(),
    Def<kStatsArgs, IndexStats>(),
    Def<kSaveArgs, IndexSave>(),
    kEndOfMethods,
};

MetadataIndexClass g_index_class{{
    .name = "velmar.memory.PyMetadataIndex",
    .doc = kIndexArgs.doc(),
    .construct = Construct<kIndexArgs, MakeIndex>,
    .methods = kMethods,
}};

}  // namespace

PyObject* MetadataIndexType() { return MetadataIndexClass::Type(); }

}  // namespace velmar::python
