#pragma once

// The converters of call arguments. Each takes the object and the argument's
// name, returns the native value, and on failure throws PythonErrorSet with
// an exception naming the argument ("argument 'frames': ..."). Argument
// tables (binding.hpp) call them; so can any binding code inside a Boundary.

#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velmar::python {

// Any object, borrowed: for an argument the implementation reads itself.
inline PyObject* ToObject(PyObject* obj, const char*) { return obj; }

// The name of an object's type, for messages ("str", "NoneType").
std::string TypeName(PyObject* obj);

// Raises TypeError("argument '<arg>': '<type of obj>' object cannot be
// converted to '<wanted>'") and throws PythonErrorSet.
[[noreturn]] void ThrowConversionError(PyObject* obj, const char* arg, const char* wanted);

// An integer (anything with __index__) from 0 to 2**64-1. Negative or too
// large: OverflowError; not an integer: TypeError.
uint64_t ToU64(PyObject* obj, const char* arg);

// True or False, or a NumPy bool scalar. Integers and everything else: TypeError.
bool ToBool(PyObject* obj, const char* arg);

// A str (or subclass), as UTF-8. A string that cannot be encoded as UTF-8
// (a lone surrogate) raises the codec's UnicodeEncodeError itself.
std::string ToString(PyObject* obj, const char* arg);

// A str that names a file, directory or program. A NUL would silently cut
// the name short on its way to the system, so it raises ValueError, as
// Python's own os functions do.
std::string ToPath(PyObject* obj, const char* arg);

// A str, bytes or os.PathLike, as os.fsencode gives it: a str in the file
// system's encoding, with the bytes of a name that is not valid in it
// (surrogate escapes) given back as they were, so any name the operating
// system accepts works. A NUL raises ValueError, as in ToPath.
std::string ToFsPath(PyObject* obj, const char* arg);

// A name the system gave or took back as Python text, as os.fsdecode does:
// bytes that are not valid UTF-8 come back as the surrogate escapes they
// were given as. A new reference, or null with an error set.
PyObject* FsPathToPython(const std::string& path);

// Checks for a sequence that is not a str (a list, tuple, bytes, ...).
void CheckSequence(PyObject* obj, const char* arg);
// A dict (or subclass), borrowed.
PyObject* ToDict(PyObject* obj, const char* arg);

// Reads a sequence (not a str) item by item, in order, handing each item
// (borrowed) to `take`. The walk ends at whichever comes first: the end of
// iteration or the length, re-read at each step. So a sequence that changes
// while it is read, or whose __len__ claims more than it holds, is read only
// as far as it really goes, and an absurd __len__ reserves nothing.
template <class Take>
void ForEachItem(PyObject* obj, const char* arg, Take take) {
  CheckSequence(obj, arg);
  Ref iter = Check(PyObject_GetIter(obj));
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) throw PythonErrorSet{};
    if (i >= size) break;
    Ref item = Ref::Steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) throw PythonErrorSet{};
      break;
    }
    take(item.get());
  }
}

// Bytes from bytes, bytearray or any sequence (not str) of integers 0..255.
std::vector<uint8_t> ToByteVector(PyObject* obj, const char* arg);

// A sequence (not str) of integers 0..2**64-1, read in order.
std::vector<uint64_t> ToU64Vector(PyObject* obj, const char* arg);

// New references to Python values; throw PythonErrorSet on failure.
inline Ref NewInt(uint64_t v) { return Check(PyLong_FromUnsignedLongLong(v)); }
inline Ref NewFloat(double v) { return Check(PyFloat_FromDouble(v)); }
Ref NewStr(const std::string& s);

// A new list of make(item) for each item of `items` (make returns a Ref and
// may take the item by reference to move from it). Throws PythonErrorSet
// when the list or an item cannot be made.
template <class Items, class Make>
Ref NewList(Items& items, Make make) {
  Ref list = Check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (auto& item : items) {
    // PyList_SetItem takes over the reference, also when it fails.
    CheckStatus(PyList_SetItem(list.get(), i++, make(item).release()));
  }
  return list;
}
Ref NewStrList(const std::vector<std::string>& items);
Ref NewStrList(const std::vector<const std::string*>& items);
Ref NewIntList(const std::vector<uint64_t>& items);
Ref NewFloatList(const std::vector<double>& items);

}  // namespace velmar::python
