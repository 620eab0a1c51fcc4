#include "python/errors.hpp"

#include <csignal>
#include <new>

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

namespace {

// The Python side of each ErrorKind, in the enum's order: the name of the
// class that is also a RuntimeError, and the built-in it matches.
struct KindTypes {
  const char* runtime_name;
  PyObject* const* builtin;
};
constexpr int kKinds = static_cast<int>(ErrorKind::kOutOfMemory) + 1;
const KindTypes kKindTypes[kKinds] = {
    {nullptr, &PyExc_RuntimeError},  // kOther
    {"velmar.NotFoundError", &PyExc_FileNotFoundError},
    {"velmar.PermissionDeniedError", &PyExc_PermissionError},
    {"velmar.InvalidDataError", &PyExc_ValueError},
    {"velmar.UnsupportedError", &PyExc_ValueError},
    {"velmar.InputOutputError", &PyExc_OSError},
    {"velmar.InterruptedCallError", &PyExc_InterruptedError},
    {"velmar.OutOfMemoryError", &PyExc_MemoryError},
};

// Made once per process, as PanicException is, and attributes of no
// module: each module's attributes are exactly those the API lists.
PyObject* g_runtime_kinds[kKinds] = {};

// copyreg's reducer for those classes: they cannot be found by name, so a
// pickle (to a worker process, say) holds the RuntimeError they are, with
// the same text, as it always has.
PyObject* ReduceAsRuntimeError(PyObject*, PyObject* exception) {
  Ref args = Ref::Steal(PyObject_GetAttrString(exception, "args"));
  if (!args) return nullptr;
  return PyTuple_Pack(2, PyExc_RuntimeError, args.get());
}
PyMethodDef kReduceAsRuntimeError = {"reduce_as_runtime_error", ReduceAsRuntimeError, METH_O,
                                     nullptr};

PyObject* NewRuntimeKind(const char* name, PyObject* builtin) {
  Ref bases = Check(PyTuple_Pack(2, PyExc_RuntimeError, builtin));
  Ref type = Check(PyErr_NewException(name, bases.get(), nullptr));
  Ref copyreg = Check(PyImport_ImportModule("copyreg"));
  Ref reduce = Check(PyCFunction_New(&kReduceAsRuntimeError, nullptr));
  Check(PyObject_CallMethod(copyreg.get(), "pickle", "OO", type.get(), reduce.get()));
  return type.release();
}

// The class for `kind` under `api`. Borrowed; throws PythonErrorSet if it
// could not be made.
PyObject* KindType(ErrorKind kind, ErrorApi api) {
  const int i = static_cast<int>(kind);
  const KindTypes& types = kKindTypes[i];
  if (api == ErrorApi::kBuiltin) return *types.builtin;
  if (types.runtime_name == nullptr) return PyExc_RuntimeError;
  if (g_runtime_kinds[i] == nullptr) {
    g_runtime_kinds[i] = NewRuntimeKind(types.runtime_name, *types.builtin);
  }
  return g_runtime_kinds[i];
}

}  // namespace

Ref NewCoreException(const Error& error, std::string_view prefix, ErrorApi api) {
  std::string text;
  text.reserve(prefix.size() + error.message.size());
  text.append(prefix).append(error.message);
  Ref message =
      Check(PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyObject* type = KindType(error.Kind(), api);
  Ref exception = NewException(type, message.get(), {});
  const int is_os_error = PyObject_IsSubclass(type, PyExc_OSError);
  CheckStatus(is_os_error);
  if (error.cause && is_os_error) {
    // errno alone: with strerror set too, str() would become "[Errno N] ...".
    Ref err = Check(PyLong_FromLong(error.cause.default_error_condition().value()));
    CheckStatus(PyObject_SetAttrString(exception.get(), "errno", err.get()));
  }
  return exception;
}

void SetCoreError(std::string_view prefix, const Error& error) {
  try {
    Ref exception = NewCoreException(error, prefix, ErrorApi::kRuntimeError);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  } catch (const PythonErrorSet&) {
    // The failure to make the exception is the error.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
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
