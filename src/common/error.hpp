#pragma once

#include <expected>
#include <string>
#include <system_error>
#include <utility>

namespace velmar {

// The error value of the core: a message meant for the caller, and an
// optional operating-system cause that travels with it (for the binding to
// pick an exception type, say) but is never part of the message.
struct Error {
  std::string message;
  std::error_code cause;

  // An error caused by the errno value `err`.
  static Error FromErrno(std::string message, int err) {
    return Error{std::move(message), std::error_code(err, std::generic_category())};
  }
};

// What a core function that can fail returns: its value or an Error.
template <class T>
using Result = std::expected<T, Error>;

}  // namespace velmar
