#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "python/ref.hpp"

namespace velmar::python {

// Binds positional and keyword arguments of `function` to `names`, in order.
// `out` receives borrowed references (null for an argument left out); the
// first `required` names must be given. Raises TypeError the way CPython's
// own argument parsing does (too many, unexpected keyword, given twice,
// missing). Returns false with the error set.
bool BindArgs(const char* function, PyObject* args, PyObject* kwargs,
              std::initializer_list<const char*> names, size_t required, PyObject** out);

// The name of an object's type, for messages ("str", "NoneType").
std::string TypeName(PyObject* obj);

// Every converter below returns false with an exception set on failure, and
// names the argument in the message ("argument 'frames': ...").

// An integer (anything with __index__) from 0 to 2**64-1. Negative or too
// large: OverflowError; not an integer: TypeError.
bool ToU64(PyObject* obj, const char* arg, uint64_t* out);
// The same; a null (left out) or None object gives `fallback`.
bool ToU64Or(PyObject* obj, const char* arg, uint64_t fallback, uint64_t* out);

// True or False, or a NumPy bool scalar. Integers and everything else: TypeError.
bool ToBool(PyObject* obj, const char* arg, bool* out);
bool ToBoolOr(PyObject* obj, const char* arg, bool fallback, bool* out);

// A str (or subclass), as UTF-8. A string that cannot be encoded as UTF-8
// (a lone surrogate) raises UnicodeEncodeError.
bool ToString(PyObject* obj, const char* arg, std::string* out);
// A str that names a file, directory or program. A NUL would silently cut
// the name short on its way to the system, so it raises ValueError, as
// Python's own os functions do.
bool ToPath(PyObject* obj, const char* arg, std::string* out);

// None or a str; a null (left out) or None object gives nullopt.
bool ToOptString(PyObject* obj, const char* arg, std::optional<std::string>* out);

// Checks for a sequence that is not a str (a list, tuple, bytes, ...).
bool CheckSequence(PyObject* obj, const char* arg);
// Checks for a dict (or subclass).
bool CheckDict(PyObject* obj, const char* arg);

// Bytes from bytes, bytearray or any sequence (not str) of integers 0..255.
bool ToByteVector(PyObject* obj, const char* arg, std::vector<uint8_t>* out);

// A sequence (not str) of integers 0..2**64-1, read in order.
bool ToU64Vector(PyObject* obj, const char* arg, std::vector<uint64_t>* out);

// New references to Python values.
inline Ref NewInt(uint64_t v) { return Ref::Steal(PyLong_FromUnsignedLongLong(v)); }
Ref NewStr(const std::string& s);

}  // namespace velmar::python
