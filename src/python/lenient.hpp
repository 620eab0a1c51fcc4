#pragma once

// The lenient readers of the memory index: a dict item of batch_add or a
// search parameter whose value has the wrong type or range is not an error,
// it is simply not usable (nullopt, or an empty list). Whatever exception
// the caller's code raises while a value is read (__index__, __float__,
// __len__, a key's __eq__) means "unusable" too, except KeyboardInterrupt,
// SystemExit and MemoryError: those are never the value's fault, so they
// propagate (the reader throws PythonErrorSet with them set).

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/ref.hpp"

namespace velmar::python {

// Clears the pending exception, or throws PythonErrorSet when it is one of
// the three that must propagate.
void ClearUnlessFatal();

// The value under `key` in the dict's own storage (a subclass's __getitem__
// or __missing__ is never called), as a strong reference: reading a later
// value may run code that drops the dict's own. Null when absent or when the
// lookup fails. Inline, as is TextOf: batch_add calls both for every field
// of every entry.
inline Ref Lookup(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr) {
    if (PyErr_Occurred()) ClearUnlessFatal();
    return {};
  }
  return Ref::Borrow(value);
}

// A str (or subclass) that can be encoded as UTF-8; one holding a lone
// surrogate cannot, and is not usable. TextOf gives the str's own UTF-8
// copy, valid while `obj` lives; ReadText a string of it.
inline std::optional<std::string_view> TextOf(PyObject* obj) {
  if (obj == nullptr || !PyUnicode_Check(obj)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    ClearUnlessFatal();
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<size_t>(size));
}
std::optional<std::string> ReadText(PyObject* obj);

// For the list fields of an entry: a list gives its usable str items, in
// order; a str gives itself; anything else (tuples and sets included) gives
// nothing.
std::vector<std::string> ReadTextList(PyObject* obj);

// For query terms: an object the interpreter reports as a sequence, other
// than a str, whose items are all usable str. Anything else gives an empty
// list, which means no condition. Read as far as iteration really goes.
std::vector<std::string> ReadTextSequence(PyObject* obj);

// An integer through the interpreter's integer-index conversion (bool
// included), from 0 to `max`.
std::optional<uint64_t> ReadInteger(PyObject* obj, uint64_t max);

// Anything the interpreter converts to a float (a float, an int, an object
// with __float__ or __index__).
std::optional<double> ReadDouble(PyObject* obj);

}  // namespace velmar::python
