#pragma once

#include <Python.h>

#include <expected>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/panic.hpp"
#include "python/ref.hpp"

namespace velmar::python {

// Thrown inside a boundary when a Python error is already set; the boundary
// lets that error through unchanged. Converters and helpers of the binding
// layer throw it right after a C API call failed.
struct PythonErrorSet {};

// Throws PythonErrorSet when `obj` is null (a C API call failed), else
// returns it: `Ref list = Check(PyList_New(n));`.
inline Ref Check(PyObject* obj) {
  if (obj == nullptr) throw PythonErrorSet{};
  return Ref::Steal(obj);
}
// The same for C API calls that return -1 on failure.
inline void CheckStatus(int status) {
  if (status < 0) throw PythonErrorSet{};
}

// The value of a core result (velmar::Result<T>), or the core's error thrown
// for the boundary to report with the call's prefix.
template <class T, class E>
T Unwrap(std::expected<T, E>&& result) {
  if (!result) throw std::move(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// velmar.PanicException: derived directly from BaseException, made once per
// process, and an attribute of no module. Borrowed reference; null with an
// error set only if it could not be made.
PyObject* PanicExceptionType();

// Sets PanicException with `message`.
void SetPanic(const char* message);

// How a core Error becomes a Python exception.
enum class ErrorApi {
  // The call's API fixes RuntimeError: a class of the error's kind that is
  // both RuntimeError and the matching built-in (velmar.NotFoundError is a
  // RuntimeError and a FileNotFoundError), so that every `except
  // RuntimeError` still catches it; RuntimeError itself for kOther.
  kRuntimeError,
  // The matching built-in itself (FileNotFoundError, ValueError, ...).
  kBuiltin,
};

// A new exception instance for `error`: its text is `prefix` and the
// message, decoded as os.fsdecode does (a path in it that is not UTF-8
// keeps its bytes as surrogate escapes). An OSError's errno is the cause's;
// its str() is still the text alone.
Ref NewCoreException(const Error& error, std::string_view prefix, ErrorApi api);

// Raises NewCoreException(error, prefix, ErrorApi::kRuntimeError).
void SetCoreError(std::string_view prefix, const Error& error);

// An instance of the exception (or warning) class `type` made from
// `message`, with each of `attributes` set on it: the structured part of a
// failure, which callers read instead of parsing the text.
using Attributes = std::initializer_list<std::pair<const char*, PyObject*>>;
Ref NewException(PyObject* type, PyObject* message, Attributes attributes);

// Issues the warning instance `warning` as warnings.warn(warning) would
// from the calling Python code. Throws PythonErrorSet when a filter turned
// it into an error.
void Warn(PyObject* warning);

// Installs the Ctrl-C check that the core calls during long operations.
void InstallInterruptCheck();

// The one place where failures become Python exceptions. Runs `body`, which
// returns a new reference (a PyObject* or a Ref; null with an error set), and
// translates what it throws:
//   velmar::Error       -> "<prefix><message>" as the RuntimeError of its kind
//                          (SetCoreError)
//   velmar::Panic       -> PanicException with the check's message
//   std::bad_alloc      -> MemoryError
//   PythonErrorSet, velmar::Interrupted -> the error already set
//   anything else       -> PanicException
// `prefix` is the call's failure text, e.g. "Save keyframes failed: ".
template <class Body>
PyObject* Boundary(std::string_view prefix, Body&& body) noexcept {
  try {
    if constexpr (std::is_same_v<std::invoke_result_t<Body>, Ref>) {
      return body().release();
    } else {
      return body();
    }
  } catch (const velmar::Error& error) {
    SetCoreError(prefix, error);
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

template <class Body>
PyObject* Boundary(Body&& body) noexcept {
  return Boundary(std::string_view(), std::forward<Body>(body));
}

}  // namespace velmar::python
