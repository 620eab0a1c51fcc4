// Reading the params dict of a search into its query.
//
// Query parameters are read leniently (lenient.hpp): a value of the wrong
// type or range makes its key count as absent. Two things are stricter than
// that. A user_id that is given but unusable matches nothing: dropping it
// would hand out every user's memories. And a key the query does not know
// (a typo such as "user") is named in a UserWarning, since it filters
// nothing.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <type_traits>
#include <vector>

#include "memory/search.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/lenient.hpp"
#include "python/memory/py_query.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

using KeyList = std::initializer_list<const char*>;

const KeyList kStrictKeys = {"user_id",        "memory_types",   "subjects",      "keywords",
                             "tags",           "importance_min", "importance_max",
                             "created_after",  "created_before", "limit"};
const KeyList kFlexibleKeys = {"user_id",       "memory_types",   "subjects",
                               "created_after", "created_before", "limit"};

// The str of a query key, made once and kept for the process (under the
// GIL): a lookup with it allocates nothing and hashes nothing, a str
// keeping its hash, and mostly meets the dict's own key, interned too.
PyObject* KeyName(const char* key) {
  static std::vector<std::pair<const char*, PyObject*>> names;
  for (const auto& [text, name] : names) {
    if (text == key) return name;
  }
  PyObject* name = Check(PyUnicode_InternFromString(key)).release();
  names.emplace_back(key, name);
  return name;
}

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
        if (key == KeyName(name) || PyUnicode_CompareWithASCIIString(key, name) == 0) {
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

Ref Value(PyObject* params, const char* key) { return Lookup(params, KeyName(key)); }

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
  return ReadInteger(Value(params, "limit").get(), UINT64_MAX).value_or(memory::kDefaultLimit);
}

// Reads the query's keys in one fixed order; the strict query has more.
template <class Query>
Query ReadQueryKeys(PyObject* params) {
  Query q;
  bool match_nothing = false;
  q.user_id = UserFilter(params, match_nothing);
  q.memory_types = TextSequence(params, "memory_types");
  q.subjects = TextSequence(params, "subjects");
  if constexpr (std::is_same_v<Query, memory::StrictQuery>) {
    q.keywords = TextSequence(params, "keywords");
    q.tags = TextSequence(params, "tags");
    q.importance_min = Byte(params, "importance_min");
    q.importance_max = Byte(params, "importance_max");
  }
  q.created_after = Double(params, "created_after");
  q.created_before = Double(params, "created_before");
  q.limit = Limit(params, match_nothing);
  return q;
}

}  // namespace

memory::StrictQuery ReadStrictQuery(PyObject* params) {
  WarnUnknownKeys("search_strict", params, kStrictKeys);
  return ReadQueryKeys<memory::StrictQuery>(params);
}

memory::FlexibleQuery ReadFlexibleQuery(PyObject* params) {
  WarnUnknownKeys("search_flexible", params, kFlexibleKeys);
  return ReadQueryKeys<memory::FlexibleQuery>(params);
}

namespace {

[[noreturn]] void RefuseKey(PyObject* key, const char* why) {
  PyErr_Format(PyExc_ValueError, "delete_where(): %R %s; nothing was deleted", key, why);
  throw PythonErrorSet{};
}

// Reads one key of a deletion query into `q`; nullptr when done, else why
// the value is not one that strict search would use. An empty text is no
// condition (it is contained in every text), so a list is read without its
// empty texts, and one that holds nothing else is refused.
const char* ReadDeletionKey(std::string_view name, PyObject* value, memory::StrictQuery& q) {
  const char* unusable = "has a value that is not a usable condition";
  auto texts = [&](std::vector<std::string>& out) {
    out = ReadTextSequence(value);
    if (out.empty()) return false;
    std::erase(out, std::string());
    if (out.empty()) unusable = "holds only empty texts, which would match by containment alone";
    return !out.empty();
  };
  auto byte = [&](std::optional<uint8_t>& out) {
    const std::optional<uint64_t> v = ReadInteger(value, 255);
    if (v) out = static_cast<uint8_t>(*v);
    return v.has_value();
  };
  auto time = [&](std::optional<double>& out) {
    out = ReadDouble(value);
    return out && !std::isnan(*out);
  };
  bool usable = false;
  if (name == "user_id") usable = (q.user_id = ReadText(value)).has_value();
  if (name == "memory_types") usable = texts(q.memory_types);
  if (name == "subjects") usable = texts(q.subjects);
  if (name == "keywords") usable = texts(q.keywords);
  if (name == "tags") usable = texts(q.tags);
  if (name == "importance_min") usable = byte(q.importance_min);
  if (name == "importance_max") usable = byte(q.importance_max);
  if (name == "created_after") usable = time(q.created_after);
  if (name == "created_before") usable = time(q.created_before);
  return usable ? nullptr : unusable;
}

}  // namespace

memory::StrictQuery ReadDeletionQuery(PyObject* params) {
  memory::StrictQuery q;
  // The items are taken first: reading a value may run the caller's code,
  // which must not change the dict under PyDict_Next.
  std::vector<std::pair<Ref, Ref>> items;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(params, &pos, &key, &value)) items.emplace_back(Ref::Borrow(key), Ref::Borrow(value));
  for (const auto& [k, v] : items) {
    const std::optional<std::string_view> name = PyUnicode_Check(k.get()) ? TextOf(k.get()) : std::nullopt;
    const bool known = name && std::find_if(kStrictKeys.begin(), kStrictKeys.end(), [&](const char* known_key) {
                                 return *name == known_key;
                               }) != kStrictKeys.end();
    if (!known || *name == "limit") RefuseKey(k.get(), "is not a condition delete_where knows");
    if (const char* why = ReadDeletionKey(*name, v.get(), q)) RefuseKey(k.get(), why);
  }
  if (items.empty()) {
    PyErr_SetString(PyExc_ValueError,
                    "delete_where(): params holds no condition; nothing was deleted "
                    "(deleting every entry needs a condition that every entry meets)");
    throw PythonErrorSet{};
  }
  return q;
}

}  // namespace velmar::python
