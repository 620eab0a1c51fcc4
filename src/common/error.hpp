#pragma once

#include <cerrno>
#include <expected>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace velmar {

// What sort of failure an Error is: what a caller may want to branch on
// (the binding picks the Python exception type by it) without reading the
// message.
enum class ErrorKind {
  kOther,        // none of the below
  kNotFound,     // a file or program that is not there
  kPermission,   // not allowed to read or write it
  kInvalidData,  // the input is not what it should be (not a video, corrupt)
  kUnsupported,  // a valid input this system cannot handle (no video stream)
  kIo,           // the operating system failed otherwise
  kInterrupted,  // stopped by a signal
  kOutOfMemory,
};

// The kind of failure the errno value `err` reports.
constexpr ErrorKind KindOfErrno(int err) {
  switch (err) {
    case 0: return ErrorKind::kOther;
    case ENOENT: return ErrorKind::kNotFound;
    case EACCES:
    case EPERM: return ErrorKind::kPermission;
    case EILSEQ:
    case EBADMSG: return ErrorKind::kInvalidData;
    case ENOTSUP:
    case ENOSYS: return ErrorKind::kUnsupported;
    case EINTR: return ErrorKind::kInterrupted;
    case ENOMEM: return ErrorKind::kOutOfMemory;
    default: return ErrorKind::kIo;
  }
}

// The error value of the core: a message meant for the caller, an optional
// operating-system cause that travels with it but is never part of the
// message, and its kind.
struct Error {
  std::string message;
  std::error_code cause;
  // Set where the core knows better than the cause, or there is none.
  std::optional<ErrorKind> kind = std::nullopt;

  // The kind: the one set, else the cause's, else kOther.
  ErrorKind Kind() const {
    if (kind) return *kind;
    return cause ? KindOfErrno(cause.default_error_condition().value()) : ErrorKind::kOther;
  }

  // An error caused by the errno value `err`.
  static Error FromErrno(std::string message, int err) {
    return Error{std::move(message), std::error_code(err, std::generic_category())};
  }
  // An error of `kind` with no operating-system cause.
  static Error Of(ErrorKind kind, std::string message) { return Error{std::move(message), {}, kind}; }
};

// What a core function that can fail returns: its value or an Error.
template <class T>
using Result = std::expected<T, Error>;

}  // namespace velmar
