#include "python/lenient.hpp"

#include "python/errors.hpp"

namespace velmar::python {

void ClearUnlessFatal() {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
      PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw PythonErrorSet{};
  }
  PyErr_Clear();
}

std::optional<std::string> ReadText(PyObject* obj) {
  if (auto text = TextOf(obj)) return std::string(*text);
  return std::nullopt;
}

std::vector<std::string> ReadTextList(PyObject* obj) {
  std::vector<std::string> out;
  if (obj == nullptr) return out;
  if (PyList_Check(obj)) {
    // Reading a str runs no Python code, so the list cannot change meanwhile.
    const Py_ssize_t size = PyList_Size(obj);
    out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (auto text = TextOf(PyList_GetItem(obj, i))) out.emplace_back(*text);
    }
    return out;
  }
  if (auto text = TextOf(obj)) out.emplace_back(*text);
  return out;
}

std::vector<std::string> ReadTextSequence(PyObject* obj) {
  std::vector<std::string> out;
  if (obj == nullptr || PyUnicode_Check(obj) || !PySequence_Check(obj)) return out;
  Ref iter = Ref::Steal(PyObject_GetIter(obj));
  if (!iter) {
    ClearUnlessFatal();
    return {};
  }
  // Both ends bound the walk: the length (re-read each step, as reading an
  // item may run code that changes the sequence) and the iteration.
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
      ClearUnlessFatal();
      return {};
    }
    if (i >= size) break;
    Ref item = Ref::Steal(PyIter_Next(iter.get()));
    if (!item) {
      if (!PyErr_Occurred()) break;
      ClearUnlessFatal();
      return {};
    }
    std::optional<std::string> text = ReadText(item.get());
    if (!text) return {};
    out.push_back(std::move(*text));
  }
  return out;
}

std::optional<uint64_t> ReadInteger(PyObject* obj, uint64_t max) {
  if (obj == nullptr) return std::nullopt;
  Ref index = Ref::Steal(PyNumber_Index(obj));
  if (!index) {
    ClearUnlessFatal();
    return std::nullopt;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    ClearUnlessFatal();  // negative or beyond 64 bits
    return std::nullopt;
  }
  if (v > max) return std::nullopt;
  return static_cast<uint64_t>(v);
}

std::optional<double> ReadDouble(PyObject* obj) {
  if (obj == nullptr) return std::nullopt;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    ClearUnlessFatal();
    return std::nullopt;
  }
  return v;
}

}  // namespace velmar::python
