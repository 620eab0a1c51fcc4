#include "python/errors.hpp"

#include <csignal>

namespace velmar::python {

namespace {
PyObject* g_panic = nullptr;

bool PythonInterruptCheck() {
  // Called from the thread that holds the interpreter lock (the calling
  // thread of a long operation); runs Python's signal handlers.
  return PyErr_CheckSignals() != 0;
}
}  // namespace

PyObject* PanicExceptionType() {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewException("velmar.PanicException", PyExc_BaseException, nullptr);
  }
  return g_panic;
}

void SetPanic(const char* message) {
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return;  // the failure to make it is the error
  PyErr_SetString(type, message);
}

void SetRuntimeError(std::string_view prefix, std::string_view message) {
  std::string text;
  text.reserve(prefix.size() + message.size());
  text.append(prefix).append(message);
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
}

Ref NewException(PyObject* type, PyObject* message, Attributes attributes) {
  Ref exception = Check(PyObject_CallFunctionObjArgs(type, message, nullptr));
  for (const auto& [name, value] : attributes) CheckStatus(PyObject_SetAttrString(exception.get(), name, value));
  return exception;
}

void Warn(PyObject* warning) {
  Ref warnings = Check(PyImport_ImportModule("warnings"));
  Ref warn = Check(PyObject_GetAttrString(warnings.get(), "warn"));
  Check(PyObject_CallFunctionObjArgs(warn.get(), warning, nullptr));
}

void InstallInterruptCheck() { velmar::SetInterruptCheck(&PythonInterruptCheck); }

}  // namespace velmar::python
