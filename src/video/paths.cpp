#include "video/paths.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace velmar::video {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `path` without its last component ("a/b/" -> "a", "/a" -> "/", "a" -> "").
std::string Parent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return std::string(parent.empty() ? "/" : parent);
}

}  // namespace

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::error_code CreateDirectories(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    std::string parent = Parent(path);
    if (!parent.empty() && parent != path) {
      if (std::error_code ec = CreateDirectories(parent)) return ec;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  // Also covers a directory made by someone else in the meantime.
  if (err == EEXIST && IsDirectory(path)) return {};
  return std::error_code(err, std::generic_category());
}

}  // namespace velmar::video
