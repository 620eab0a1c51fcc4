#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/panic.hpp"

namespace velmar::python {

// Thrown inside a boundary when a Python error is already set; the boundary
// lets that error through unchanged.
struct PythonErrorSet {};

// velmar.PanicException: derived directly from BaseException, made once per
// process, and an attribute of no module. Borrowed reference; null with an
// error set only if it could not be made.
PyObject* PanicExceptionType();

// Sets PanicException with `message`.
void SetPanic(const char* message);

// Raises RuntimeError("<prefix><message>") and returns null.
PyObject* RaiseRuntimeError(std::string_view prefix, std::string_view message);

// Installs the Ctrl-C check that the core calls during long operations.
void InstallInterruptCheck();

// The one place where core failures become Python exceptions. Runs `body`
// (which returns a new reference, or null with an error set) and translates:
//   velmar::Panic       -> PanicException with the check's message
//   std::bad_alloc      -> MemoryError
//   PythonErrorSet, velmar::Interrupted -> the error already set
//   anything else       -> PanicException
template <class Body>
PyObject* Boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const velmar::Panic& panic) {
    SetPanic(panic.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) SetPanic("error indicator lost");
  } catch (const velmar::Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::exception& e) {
    SetPanic(e.what());
  } catch (...) {
    SetPanic("unknown native exception");
  }
  return nullptr;
}

// The same for slots that return int (tp_init): 0 on success, -1 on error.
template <class Body>
int BoundaryInt(Body&& body) noexcept {
  PyObject* r = Boundary([&]() -> PyObject* {
    if (body() != 0) return nullptr;
    Py_INCREF(Py_None);
    return Py_None;
  });
  if (r == nullptr) return -1;
  Py_DECREF(r);
  return 0;
}

}  // namespace velmar::python
