#pragma once

#include <expected>
#include <string>
#include <system_error>

namespace velmar::video {

// The error value of the video pipeline: a message shown to callers and an
// optional operating-system cause that travels with it but is never shown.
struct VideoError {
  std::string message;
  std::error_code cause;

  static VideoError FromErrno(std::string message, int err) {
    return VideoError{std::move(message), std::error_code(err, std::generic_category())};
  }
};

template <class T>
using VideoResult = std::expected<T, VideoError>;

}  // namespace velmar::video
