#include "python/video/fs_path.hpp"

#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace velmar::python {

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

}  // namespace velmar::python
