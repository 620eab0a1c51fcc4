#include "python/convert.hpp"

namespace velmar::python {

namespace {

// Names the argument in the pending exception, then throws PythonErrorSet.
// TypeError, ValueError and OverflowError (their exact types, which take one
// message) are raised again with "argument 'x': " before their message and
// the original as their context. Any other exception is left as it is: a
// UnicodeEncodeError cannot be rebuilt from a message alone, and an
// exception of the caller's own (or KeyboardInterrupt) is theirs. Where
// exceptions take notes (3.11 on), it gets one naming the argument.
[[noreturn]] void ThrowNamingArgument(const char* arg) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(tb);
  Ref old_type = Ref::Steal(type);
  Ref old = Ref::Steal(value);
  if (old_type.get() == PyExc_TypeError || old_type.get() == PyExc_ValueError ||
      old_type.get() == PyExc_OverflowError) {
    Ref text = Ref::Steal(PyObject_Str(old.get()));
    if (!text) throw PythonErrorSet{};
    PyErr_Format(old_type.get(), "argument '%s': %U", arg, text.get());
    PyObject *new_type, *new_value, *new_tb;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    if (new_value != nullptr) PyException_SetContext(new_value, old.release());  // steals
    PyErr_Restore(new_type, new_value, new_tb);
    throw PythonErrorSet{};
  }
  if (old && PyObject_IsInstance(old.get(), PyExc_Exception) == 1 &&
      PyObject_HasAttrString(old.get(), "add_note")) {
    Ref note = Ref::Steal(PyUnicode_FromFormat("argument '%s'", arg));
    Ref done = note ? Ref::Steal(PyObject_CallMethod(old.get(), "add_note", "O", note.get()))
                    : Ref();
    PyErr_Clear();
  }
  PyErr_Restore(old_type.release(), old.release(), nullptr);
  throw PythonErrorSet{};
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

}  // namespace

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

void ThrowConversionError(PyObject* obj, const char* arg, const char* wanted) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", arg,
               TypeName(obj).c_str(), wanted);
  throw PythonErrorSet{};
}

uint64_t ToU64(PyObject* obj, const char* arg) {
  Ref index = Ref::Steal(PyNumber_Index(obj));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                   arg, TypeName(obj).c_str());
      throw PythonErrorSet{};
    }
    ThrowNamingArgument(arg);
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) ThrowNamingArgument(arg);
  return v;
}

bool ToBool(PyObject* obj, const char* arg) {
  if (!PyBool_Check(obj) && !IsNumpyBool(obj)) ThrowConversionError(obj, arg, "bool");
  int truth = PyObject_IsTrue(obj);
  if (truth < 0) throw PythonErrorSet{};
  return truth != 0;
}

std::string ToString(PyObject* obj, const char* arg) {
  if (!PyUnicode_Check(obj)) ThrowConversionError(obj, arg, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) ThrowNamingArgument(arg);
  return std::string(utf8, static_cast<size_t>(size));
}

std::string ToPath(PyObject* obj, const char* arg) {
  std::string path = ToString(obj, arg);
  if (path.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", arg);
    throw PythonErrorSet{};
  }
  return path;
}

std::string ToFsPath(PyObject* obj, const char* arg) {
  Ref path = Ref::Steal(PyOS_FSPath(obj));
  if (!path) {
    PyErr_Clear();
    ThrowConversionError(obj, arg, "str, bytes or os.PathLike");
  }
  Ref encoded;
  if (PyUnicode_Check(path.get())) {
    encoded = Ref::Steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) throw PythonErrorSet{};
  } else {
    encoded = std::move(path);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) throw PythonErrorSet{};
  std::string bytes(data, static_cast<size_t>(size));
  if (bytes.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", arg);
    throw PythonErrorSet{};
  }
  return bytes;
}

PyObject* FsPathToPython(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

void CheckSequence(PyObject* obj, const char* arg) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) ThrowConversionError(obj, arg, "Sequence");
}

PyObject* ToDict(PyObject* obj, const char* arg) {
  if (!PyDict_Check(obj)) ThrowConversionError(obj, arg, "dict");
  return obj;
}

std::vector<uint8_t> ToByteVector(PyObject* obj, const char* arg) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    CheckStatus(PyBytes_AsStringAndSize(obj, &data, &size));
    return std::vector<uint8_t>(data, data + size);
  }
  if (PyByteArray_Check(obj)) {
    const char* data = PyByteArray_AsString(obj);
    return std::vector<uint8_t>(data, data + PyByteArray_Size(obj));
  }
  std::vector<uint8_t> out;
  ForEachItem(obj, arg, [&](PyObject* item) {
    const uint64_t v = ToU64(item, arg);
    if (v > 255) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': value %llu does not fit in a byte", arg,
                   static_cast<unsigned long long>(v));
      throw PythonErrorSet{};
    }
    out.push_back(static_cast<uint8_t>(v));
  });
  return out;
}

std::vector<uint64_t> ToU64Vector(PyObject* obj, const char* arg) {
  std::vector<uint64_t> out;
  ForEachItem(obj, arg, [&](PyObject* item) { out.push_back(ToU64(item, arg)); });
  return out;
}

Ref NewStr(const std::string& s) {
  return Check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref NewStrList(const std::vector<std::string>& items) { return NewList(items, NewStr); }

Ref NewStrList(const std::vector<const std::string*>& items) {
  return NewList(items, [](const std::string* s) { return NewStr(*s); });
}

Ref NewIntList(const std::vector<uint64_t>& items) { return NewList(items, NewInt); }

Ref NewFloatList(const std::vector<double>& items) { return NewList(items, NewFloat); }

}  // namespace velmar::python
