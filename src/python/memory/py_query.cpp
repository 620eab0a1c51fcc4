// Reading the params dict of a search into its query.
//
// Query parameters are read leniently (lenient.hpp): a value of the wrong
// type or range makes its key count as absent. Two things are stricter than
// that. A user_id that is given but unusable matches nothing: dropping it
// would hand out every user's memories. And a key the query does not know
// (a typo such as "user") is named in a UserWarning, since it filters
// nothing.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "memory/search.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/lenient.hpp"
#include "python/memory/py_query.hpp"
#include "python/ref.hpp"

namespace velmar::python {

namespace {

using memory::StrictQuery;

// Which reads of a params dict know a key.
enum KeyUse : unsigned { kStrict = 1, kFlexible = 2, kDeletion = 4, kEveryUse = 7 };

// Where a strict query keeps a key's value; its type says how it is read.
using QueryField =
    std::variant<std::optional<std::string> StrictQuery::*, std::vector<std::string> StrictQuery::*,
                 std::optional<uint8_t> StrictQuery::*, std::optional<double> StrictQuery::*,
                 uint64_t StrictQuery::*>;

struct QueryKey {
  const char* name;
  unsigned uses;
  QueryField field;
};

// The one table of the query keys, in the order a search reads them (limit
// last: an unusable user_id overrides it). The stubs' TypedDicts and the
// velmar command are checked against it through the known_keys of an
// unknown key's warning or error.
const QueryKey kQueryKeys[] = {
    {"user_id", kEveryUse, &StrictQuery::user_id},
    {"memory_types", kEveryUse, &StrictQuery::memory_types},
    {"subjects", kEveryUse, &StrictQuery::subjects},
    {"keywords", kStrict | kDeletion, &StrictQuery::keywords},
    {"tags", kStrict | kDeletion, &StrictQuery::tags},
    {"importance_min", kStrict | kDeletion, &StrictQuery::importance_min},
    {"importance_max", kStrict | kDeletion, &StrictQuery::importance_max},
    {"created_after", kEveryUse, &StrictQuery::created_after},
    {"created_before", kEveryUse, &StrictQuery::created_before},
    {"limit", kStrict | kFlexible, &StrictQuery::limit},
};

template <class... F>
struct Overload : F... {
  using F::operator()...;
};

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

// The table's entry for `key` if `use` knows it. Compares the text itself;
// no __eq__ of a str subclass runs.
const QueryKey* FindKey(PyObject* key, KeyUse use) {
  if (!PyUnicode_Check(key)) return nullptr;
  for (const QueryKey& known : kQueryKeys) {
    if ((known.uses & use) != 0 &&
        (key == KeyName(known.name) || PyUnicode_CompareWithASCIIString(key, known.name) == 0)) {
      return &known;
    }
  }
  return nullptr;
}

// The keys `use` knows, as a tuple of str in table order.
Ref KnownKeys(KeyUse use) {
  std::vector<PyObject*> names;
  for (const QueryKey& known : kQueryKeys) {
    if ((known.uses & use) != 0) names.push_back(KeyName(known.name));
  }
  Ref keys = Check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t i = 0; i < names.size(); ++i) {
    PyTuple_SetItem(keys.get(), static_cast<Py_ssize_t>(i), Ref::Borrow(names[i]).release());
  }
  return keys;
}

// Warns once for each key of `params` that `use` does not know; the warning
// carries the key and known_keys. The keys are collected first: a warning
// runs Python code (filters, showwarning) that could change the dict under
// PyDict_Next.
void WarnUnknownKeys(const char* function, PyObject* params, KeyUse use) {
  std::vector<Ref> unknown;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(params, &pos, &key, &value)) {
    if (FindKey(key, use) == nullptr) unknown.push_back(Ref::Borrow(key));
  }
  if (unknown.empty()) return;
  Ref known = KnownKeys(use);
  for (const Ref& key : unknown) {
    Ref message = Check(PyUnicode_FromFormat("%s(): unknown query key %R is ignored", function, key.get()));
    Warn(NewException(PyExc_UserWarning, message.get(), {{"key", key.get()}, {"known_keys", known.get()}})
             .get());
  }
}

// Reads the keys `use` knows leniently, in table order: a value of the
// wrong type or range counts as absent, except a given but unusable
// user_id, which makes the query match nothing (a limit of 0, which is how
// such a query reaches the search, so either search still has its usual
// side effects).
StrictQuery ReadSearchKeys(PyObject* params, KeyUse use) {
  StrictQuery q;
  bool match_nothing = false;
  for (const QueryKey& key : kQueryKeys) {
    if ((key.uses & use) == 0) continue;
    std::visit(Overload{
                   [&](std::optional<std::string> StrictQuery::*user) {
                     Ref value = Lookup(params, KeyName(key.name));
                     q.*user = ReadText(value.get());
                     match_nothing = value && value.get() != Py_None && !(q.*user);
                   },
                   [&](std::vector<std::string> StrictQuery::*texts) {
                     q.*texts = ReadTextSequence(Lookup(params, KeyName(key.name)).get());
                   },
                   [&](std::optional<uint8_t> StrictQuery::*byte) {
                     const std::optional<uint64_t> v = ReadInteger(Lookup(params, KeyName(key.name)).get(), 255);
                     if (v) q.*byte = static_cast<uint8_t>(*v);
                   },
                   [&](std::optional<double> StrictQuery::*time) {
                     q.*time = ReadDouble(Lookup(params, KeyName(key.name)).get());
                   },
                   [&](uint64_t StrictQuery::*limit) {
                     q.*limit = match_nothing ? 0
                                              : ReadInteger(Lookup(params, KeyName(key.name)).get(), UINT64_MAX)
                                                    .value_or(memory::kDefaultLimit);
                   },
               },
               key.field);
  }
  return q;
}

}  // namespace

StrictQuery ReadStrictQuery(PyObject* params) {
  WarnUnknownKeys("search_strict", params, kStrict);
  return ReadSearchKeys(params, kStrict);
}

memory::FlexibleQuery ReadFlexibleQuery(PyObject* params) {
  WarnUnknownKeys("search_flexible", params, kFlexible);
  StrictQuery q = ReadSearchKeys(params, kFlexible);
  return {std::move(q.user_id), std::move(q.memory_types), std::move(q.subjects),
          q.created_after,      q.created_before,           q.limit};
}

namespace {

// Raises ValueError for `key`; the error carries the key and known_keys.
[[noreturn]] void RefuseKey(PyObject* key, const char* why) {
  Ref message = Check(PyUnicode_FromFormat("delete_where(): %R %s; nothing was deleted", key, why));
  Ref known = KnownKeys(kDeletion);
  Ref error = NewException(PyExc_ValueError, message.get(), {{"key", key}, {"known_keys", known.get()}});
  PyErr_SetObject(PyExc_ValueError, error.get());
  throw PythonErrorSet{};
}

// Reads one condition of a deletion query into `q`; nullptr when done, else
// why the value is not one that strict search would use. An empty text is
// no condition (it is contained in every text), so a list is read without
// its empty texts, and one that holds nothing else is refused.
const char* ReadCondition(const QueryKey& key, PyObject* value, StrictQuery& q) {
  const char* unusable = "has a value that is not a usable condition";
  const bool usable = std::visit(
      Overload{
          [&](std::optional<std::string> StrictQuery::*user) {
            return (q.*user = ReadText(value)).has_value();
          },
          [&](std::vector<std::string> StrictQuery::*texts) {
            std::vector<std::string>& out = q.*texts;
            out = ReadTextSequence(value);
            if (out.empty()) return false;
            std::erase(out, std::string());
            if (out.empty()) unusable = "holds only empty texts, which would match by containment alone";
            return !out.empty();
          },
          [&](std::optional<uint8_t> StrictQuery::*byte) {
            const std::optional<uint64_t> v = ReadInteger(value, 255);
            if (v) q.*byte = static_cast<uint8_t>(*v);
            return v.has_value();
          },
          [&](std::optional<double> StrictQuery::*time) {
            q.*time = ReadDouble(value);
            return (q.*time).has_value() && !std::isnan(*(q.*time));
          },
          [&](uint64_t StrictQuery::*) { return false; },
      },
      key.field);
  return usable ? nullptr : unusable;
}

}  // namespace

StrictQuery ReadDeletionQuery(PyObject* params) {
  StrictQuery q;
  // The items are taken first: reading a value may run the caller's code,
  // which must not change the dict under PyDict_Next.
  std::vector<std::pair<Ref, Ref>> items;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(params, &pos, &key, &value)) items.emplace_back(Ref::Borrow(key), Ref::Borrow(value));
  for (const auto& [k, v] : items) {
    const QueryKey* known = FindKey(k.get(), kDeletion);
    if (known == nullptr) RefuseKey(k.get(), "is not a condition delete_where knows");
    if (const char* why = ReadCondition(*known, v.get(), q)) RefuseKey(k.get(), why);
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
