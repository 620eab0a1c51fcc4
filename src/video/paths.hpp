#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace velmar::video {

// `dir` joined with `name`: just `name` for an empty dir, no doubled "/".
std::string JoinPath(std::string_view dir, std::string_view name);

// mkdir -p with mode 0777 (less the umask); an existing directory is fine,
// anything else at the path is an error, and so is a path holding a NUL.
std::error_code CreateDirectories(const std::string& path);

}  // namespace velmar::video
