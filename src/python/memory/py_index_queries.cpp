// search_strict, search_flexible, stats and save of PyMetadataIndex.
//
// Query parameters are read leniently (lenient.hpp): a value of the wrong
// type or range makes its key count as absent. Two things are stricter than
// that. A user_id that is given but unusable matches nothing: dropping it
// would hand out every user's memories. And a key the query does not know
// (a typo such as "user") is named in a UserWarning, since it filters
// nothing.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "memory/persistence.hpp"
#include "memory/search.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/lenient.hpp"
#include "python/memory/py_metadata_index.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

using KeyList = std::initializer_list<const char*>;

const KeyList kStrictKeys = {"user_id",        "memory_types",   "subjects",      "keywords",
                             "tags",           "importance_min", "importance_max",
                             "created_after",  "created_before", "limit"};
const KeyList kFlexibleKeys = {"user_id",       "memory_types",   "subjects",
                               "created_after", "created_before", "limit"};

// Warns once for each key of `params` that is not in `known`. The keys are
// collected first: a warning runs Python code (filters, showwarning) that
// could change the dict under PyDict_Next.
void WarnUnknownKeys(const char* function, PyObject* params, KeyList known) {
  std::vector<Ref> unknown;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(params, &pos, &key, &value)) {
    bool found = false;
    if (PyUnicode_Check(key)) {
      for (const char* name : known) {
        // Compares the text itself; no __eq__ of a str subclass runs.
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
          found = true;
          break;
        }
      }
    }
    if (!found) unknown.push_back(Ref::Borrow(key));
  }
  for (const Ref& key : unknown) {
    CheckStatus(PyErr_WarnFormat(PyExc_UserWarning, 1,
                                 "%s(): unknown query key %R is ignored", function, key.get()));
  }
}

Ref Value(PyObject* params, const char* key) {
  Ref name = Check(PyUnicode_FromString(key));
  return Lookup(params, name.get());
}

std::vector<std::string> TextSequence(PyObject* params, const char* key) {
  return ReadTextSequence(Value(params, key).get());
}

std::optional<uint8_t> Byte(PyObject* params, const char* key) {
  std::optional<uint64_t> v = ReadInteger(Value(params, key).get(), 255);
  if (!v) return std::nullopt;
  return static_cast<uint8_t>(*v);
}

std::optional<double> Double(PyObject* params, const char* key) {
  return ReadDouble(Value(params, key).get());
}

// The user filter, and whether it fails closed: given, not None, and not a
// usable str.
std::optional<std::string> UserFilter(PyObject* params, bool& match_nothing) {
  Ref value = Value(params, "user_id");
  std::optional<std::string> user = ReadText(value.get());
  match_nothing = value && value.get() != Py_None && !user;
  return user;
}

uint64_t Limit(PyObject* params, bool match_nothing) {
  // A limit of 0 is how a query that must match nothing reaches the
  // search, so either search still has its usual side effects.
  if (match_nothing) return 0;
  return ReadInteger(Value(params, "limit").get(), UINT64_MAX).value_or(100);
}

memory::StrictQuery ReadStrictQuery(PyObject* params) {
  memory::StrictQuery q;
  bool match_nothing = false;
  q.user_id = UserFilter(params, match_nothing);
  q.memory_types = TextSequence(params, "memory_types");
  q.subjects = TextSequence(params, "subjects");
  q.keywords = TextSequence(params, "keywords");
  q.tags = TextSequence(params, "tags");
  q.importance_min = Byte(params, "importance_min");
  q.importance_max = Byte(params, "importance_max");
  q.created_after = Double(params, "created_after");
  q.created_before = Double(params, "created_before");
  q.limit = Limit(params, match_nothing);
  return q;
}

memory::FlexibleQuery ReadFlexibleQuery(PyObject* params) {
  memory::FlexibleQuery q;
  bool match_nothing = false;
  q.user_id = UserFilter(params, match_nothing);
  q.memory_types = TextSequence(params, "memory_types");
  q.subjects = TextSequence(params, "subjects");
  q.created_after = Double(params, "created_after");
  q.created_before = Double(params, "created_before");
  q.limit = Limit(params, match_nothing);
  return q;
}

void SetCount(PyObject* dict, const char* key, size_t value) {
  CheckStatus(PyDict_SetItemString(dict, key, NewInt(value).get()));
}

}  // namespace

Ref IndexSearchStrict(PyObject* self, PyObject* params) {
  WarnUnknownKeys("search_strict", params, kStrictKeys);
  const memory::StrictQuery query = ReadStrictQuery(params);
  return NewStrList(memory::SearchStrict(*MetadataIndexClass::Of(self).store, query));
}

Ref IndexSearchFlexible(PyObject* self, PyObject* params) {
  WarnUnknownKeys("search_flexible", params, kFlexibleKeys);
  const memory::FlexibleQuery query = ReadFlexibleQuery(params);
  return NewStrList(memory::SearchFlexible(*MetadataIndexClass::Of(self).store, query));
}

Ref IndexStats(PyObject* self) {
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

Ref IndexSave(PyObject* self) {
  MetadataIndex& index = MetadataIndexClass::Of(self);
  if (!index.path) return Ref::Borrow(Py_False);
  const bool saved = memory::SaveIndexFile(*index.path, *index.store, index.unreadable_on_disk);
  // The unreadable file has been kept aside; later saves replace the file
  // they wrote themselves.
  if (saved) index.unreadable_on_disk = false;
  return Ref::Borrow(saved ? Py_True : Py_False);
}

}  // namespace velmar::python
