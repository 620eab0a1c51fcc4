#include "python/convert.hpp"

#include <cstring>

namespace velmar::python {

namespace {

// Re-raises the pending exception (same type) with "argument 'x': " before
// its message.
void PrefixPendingError(const char* arg) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  std::string message;
  if (value != nullptr) {
    Ref text = Ref::Steal(PyObject_Str(value));
    if (text) {
      const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
      if (utf8 != nullptr) message = utf8;
    }
    PyErr_Clear();
  }
  Py_XDECREF(value);
  Py_XDECREF(tb);
  PyErr_Format(type, "argument '%s': %s", arg, message.c_str());
  Py_XDECREF(type);
}

bool TypeError(const char* arg, PyObject* obj, const char* wanted) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", arg,
               TypeName(obj).c_str(), wanted);
  return false;
}

bool IsNumpyBool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module = Ref::Steal(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::Steal(PyObject_GetAttrString(type, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// Reads a sequence (not a str) of integers 0..2**64-1 in order, handing
// each to `take`, which returns false (with an error set) to stop. The length
// is re-read each step: the sequence may change while it is read.
template <class Take>
bool ReadU64Sequence(PyObject* obj, const char* arg, Take take) {
  if (!CheckSequence(obj, arg)) return false;
  for (Py_ssize_t i = 0; i < PySequence_Size(obj); ++i) {
    Ref item = Ref::Steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    uint64_t v = 0;
    if (!ToU64(item.get(), arg, &v) || !take(v)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool BindArgs(const char* function, PyObject* args, PyObject* kwargs,
              std::initializer_list<const char*> names, size_t required, PyObject** out) {
  const size_t count = names.size();
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;
  Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<size_t>(given) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function,
                 count, count == 1 ? "" : "s", given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
        return false;
      }
      size_t index = 0;
      for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
        ++index;
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zu)",
                     function, key, index + 1);
        return false;
      }
      out[index] = value;
    }
  }
  size_t i = 0;
  for (const char* name : names) {
    if (i < required && out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   name, i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

std::string TypeName(PyObject* obj) {
  Ref name = Ref::Steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (utf8 != nullptr) return utf8;
  }
  PyErr_Clear();
  return "object";
}

bool ToU64(PyObject* obj, const char* arg, uint64_t* out) {
  Ref index = Ref::Steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                   arg, TypeName(obj).c_str());
    } else {
      PrefixPendingError(arg);
    }
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PrefixPendingError(arg);
    return false;
  }
  *out = v;
  return true;
}

bool ToU64Or(PyObject* obj, const char* arg, uint64_t fallback, uint64_t* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = fallback;
    return true;
  }
  return ToU64(obj, arg, out);
}

bool ToBool(PyObject* obj, const char* arg, bool* out) {
  if (PyBool_Check(obj) || IsNumpyBool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  return TypeError(arg, obj, "PyBool");
}

bool ToBoolOr(PyObject* obj, const char* arg, bool fallback, bool* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = fallback;
    return true;
  }
  return ToBool(obj, arg, out);
}

bool ToString(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) return TypeError(arg, obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    PrefixPendingError(arg);
    return false;
  }
  out->assign(utf8, static_cast<size_t>(size));
  return true;
}

bool ToPath(PyObject* obj, const char* arg, std::string* out) {
  if (!ToString(obj, arg, out)) return false;
  if (out->find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", arg);
    return false;
  }
  return true;
}

bool ToOptString(PyObject* obj, const char* arg, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::string s;
  if (!ToString(obj, arg, &s)) return false;
  *out = std::move(s);
  return true;
}

bool CheckSequence(PyObject* obj, const char* arg) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return TypeError(arg, obj, "Sequence");
  return true;
}

bool CheckDict(PyObject* obj, const char* arg) {
  if (!PyDict_Check(obj)) return TypeError(arg, obj, "PyDict");
  return true;
}

bool ToByteVector(PyObject* obj, const char* arg, std::vector<uint8_t>* out) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out->assign(reinterpret_cast<uint8_t*>(data), reinterpret_cast<uint8_t*>(data) + size);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const char* data = PyByteArray_AsString(obj);
    Py_ssize_t size = PyByteArray_Size(obj);
    out->assign(reinterpret_cast<const uint8_t*>(data),
                reinterpret_cast<const uint8_t*>(data) + size);
    return true;
  }
  out->clear();
  return ReadU64Sequence(obj, arg, [&](uint64_t v) {
    if (v > 255) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': value %llu does not fit in a byte", arg,
                   static_cast<unsigned long long>(v));
      return false;
    }
    out->push_back(static_cast<uint8_t>(v));
    return true;
  });
}

bool ToU64Vector(PyObject* obj, const char* arg, std::vector<uint64_t>* out) {
  out->clear();
  return ReadU64Sequence(obj, arg, [&](uint64_t v) {
    out->push_back(v);
    return true;
  });
}

Ref NewStr(const std::string& s) {
  return Ref::Steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace velmar::python
