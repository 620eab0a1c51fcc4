#include "memory/py_metadata_index.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "memory/persistence.hpp"
#include "memory/py_entry.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace velmar::python {

namespace {

struct IndexObject {
  PyObject_HEAD
  MetadataIndex* index;
};

IndexObject* AsIndex(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

// The path as the file system sees it: str encoded with the file-system
// encoding and its error handler, as os.fsencode does, so a name that is
// not valid UTF-8 (held by Python with escaped surrogates) still names the
// same file. Any other lone surrogate is passed through as its own bytes
// rather than refused: every str is a path.
bool ToPath(PyObject* obj, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'path': '%s' object cannot be converted to 'PyString'",
                 TypeName(obj).c_str());
    return false;
  }
  Ref bytes = Ref::Steal(PyUnicode_EncodeFSDefault(obj));
  if (!bytes && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
    PyErr_Clear();
    bytes = Ref::Steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  }
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out->emplace(data, static_cast<size_t>(size));
  return true;
}

PyObject* IndexNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindArgs("PyMetadataIndex", args, kwargs, {"path"}, 0, a)) return nullptr;
    auto index = std::make_unique<MetadataIndex>();
    if (!ToPath(a[0], &index->path)) return nullptr;
    index->store = std::make_shared<memory::MetadataStore>();
    if (index->path) {
      index->unreadable_on_disk =
          memory::LoadIndexFile(*index->path, *index->store) == memory::LoadResult::kUnreadable;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    AsIndex(self)->index = index.release();
    return self;
  });
}

void IndexDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete AsIndex(self)->index;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* BatchAdd(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[1];
    if (!BindArgs("batch_add", args, kwargs, {"entries"}, 1, a)) return nullptr;
    PyObject* entries = a[0];
    uint64_t stored = 0;
    if (PyList_Check(entries)) {
      memory::MetadataStore& store = *IndexOf(self).store;
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
    return NewInt(stored).release();
  });
}

PyMethodDef kMethods[] = {
    {"batch_add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(BatchAdd)),
     METH_VARARGS | METH_KEYWORDS, "batch_add($self, entries)\n--\n\n"},
    {"search_strict",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(IndexSearchStrict)),
     METH_VARARGS | METH_KEYWORDS, "search_strict($self, params)\n--\n\n"},
    {"search_flexible",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(IndexSearchFlexible)),
     METH_VARARGS | METH_KEYWORDS, "search_flexible($self, params)\n--\n\n"},
    {"stats", IndexStats, METH_NOARGS, "stats($self)\n--\n\n"},
    {"save", IndexSave, METH_NOARGS, "save($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(IndexNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(IndexDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("PyMetadataIndex(path=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmar.memory.PyMetadataIndex",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* MetadataIndexType() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

MetadataIndex& IndexOf(PyObject* self) { return *AsIndex(self)->index; }

}  // namespace velmar::python
