#include "common/fs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <utility>

#include "common/interrupt.hpp"

namespace velmar {

namespace {

std::error_code ErrnoCode(int err) { return std::error_code(err, std::generic_category()); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `path` without its last component, trailing slashes ignored ("a/b/" -> "a",
// "/a" -> "/", "a" -> ""): the directory mkdir -p must make first.
std::string Parent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return std::string(parent.empty() ? "/" : parent);
}

// "<dir>/.<base>.<pid>.<n>.tmp", with <base> cut to 200 bytes so that the
// name stays within NAME_MAX however long the target's name is. Hidden, so
// that a listing of the directory does not show a half-written file.
std::string DefaultTempName(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::string name = DirectoryOf(target);
  name.append("/.").append(BaseName(target).substr(0, 200)).append(".");
  name.append(std::to_string(::getpid())).append(".");
  name.append(std::to_string(counter.fetch_add(1))).append(".tmp");
  return name;
}

}  // namespace

std::string TempNamePattern(std::string_view base_pattern) {
  std::string pattern = "\\.(?:";
  pattern.append(base_pattern).append(")\\.[0-9]+\\.[0-9]+\\.tmp");
  return pattern;
}

bool ReadAt(int fd, char* out, size_t n, size_t offset) {
  while (n > 0) {
    const ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    const auto read = static_cast<size_t>(got);
    out += read;
    offset += read;
    n -= read;
  }
  return true;
}

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoCode(errno);  // EPIPE, ENOSPC, EFBIG, EIO, ...
    }
    if (n == 0) return ErrnoCode(EIO);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(std::string_view base, std::string_view name) {
  if (base.empty() || name.starts_with('/')) return std::string(name);
  std::string joined(base);
  if (!joined.ends_with('/')) joined.push_back('/');
  joined.append(name);
  return joined;
}

std::error_code CreateDirectories(const std::string& path) {
  if (path.find('\0') != std::string::npos) return ErrnoCode(EINVAL);
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    const std::string parent = Parent(path);
    if (!parent.empty() && parent != path) {
      if (std::error_code ec = CreateDirectories(parent)) return ec;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  // Also covers a directory made by someone else in the meantime.
  if (err == EEXIST && IsDirectory(path)) return {};
  return ErrnoCode(err);
}

std::error_code SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return {};
  if (::fsync(fd.get()) == 0 || errno == EINVAL || errno == EROFS) return {};
  return ErrnoCode(errno);
}

std::expected<AtomicFile, std::error_code> AtomicFile::Create(std::string target,
                                                              const AtomicFileOptions& options) {
  if (target.empty() || target.find('\0') != std::string::npos || target.ends_with('/')) {
    return std::unexpected(ErrnoCode(EINVAL));
  }
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    std::string temp = options.temp_name ? options.temp_name(attempt) : DefaultTempName(target);
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       options.mode));
    if (fd) {
      ::flock(fd.get(), LOCK_EX | LOCK_NB);  // new: nobody else can hold it
      return AtomicFile(std::move(target), std::move(temp), std::move(fd));
    }
    if (errno != EEXIST) return std::unexpected(ErrnoCode(errno));
  }
  return std::unexpected(ErrnoCode(EEXIST));
}

AtomicFile::AtomicFile(std::string target, std::string temp_path, UniqueFd fd)
    : target_(std::move(target)), temp_path_(std::move(temp_path)), fd_(std::move(fd)),
      held_(true) {}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : target_(std::move(other.target_)), temp_path_(std::move(other.temp_path_)),
      fd_(std::move(other.fd_)), synced_(other.synced_), held_(std::exchange(other.held_, false)) {}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept {
  if (this != &other) {
    Discard();
    target_ = std::move(other.target_);
    temp_path_ = std::move(other.temp_path_);
    fd_ = std::move(other.fd_);
    synced_ = other.synced_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::Discard() {
  fd_.Close();
  if (std::exchange(held_, false)) ::unlink(temp_path_.c_str());
}

std::error_code AtomicFile::Write(std::string_view data) {
  if (!held_ || synced_) return ErrnoCode(EBADF);
  std::error_code ec = WriteAll(fd_.get(), data);
  if (ec) Discard();
  return ec;
}

std::error_code AtomicFile::Sync() {
  if (!held_) return ErrnoCode(EBADF);
  if (synced_) return {};
  // A delayed write error (NFS, a full thin-provisioned disk) can surface at
  // fsync or at close; either means the content is not safely there.
  std::error_code ec;
  if (::fsync(fd_.get()) != 0) ec = ErrnoCode(errno);
  if (!fd_.Close() && !ec) ec = ErrnoCode(errno);
  if (ec) {
    Discard();
    return ec;
  }
  synced_ = true;
  return {};
}

std::error_code AtomicFile::Commit() {
  if (std::error_code ec = Sync()) return ec;
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    const std::error_code ec = ErrnoCode(errno);
    Discard();
    return ec;
  }
  held_ = false;
  return SyncDirectory(DirectoryOf(target_));
}

std::error_code AtomicReplace(const std::string& path, std::string_view bytes,
                              const AtomicFileOptions& options) {
  auto file = AtomicFile::Create(path, options);
  if (!file) return file.error();
  if (std::error_code ec = file->Write(bytes)) return ec;
  return file->Commit();
}

std::error_code AtomicReplace(const std::string& path,
                              const std::function<std::error_code(int fd)>& write,
                              const AtomicFileOptions& options) {
  auto file = AtomicFile::Create(path, options);
  if (!file) return file.error();
  if (std::error_code ec = write(file->fd())) return ec;
  return file->Commit();
}

}  // namespace velmar

namespace velmar {

FileStamp FileStamp::Of(const struct stat& st) {
  auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; };
  return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp::Of(st);
}

std::expected<std::string, std::error_code> MoveAside(const std::string& path,
                                                      std::string_view suffix) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::string();
    return std::unexpected(ErrnoCode(errno));
  }
  for (unsigned n = 0; n < 100000; ++n) {
    std::string aside = path;
    aside.append(suffix);
    if (n > 0) aside.append(".").append(std::to_string(n));
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      return aside;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return std::unexpected(ErrnoCode(errno));
    // The file system cannot refuse to replace; look first instead.
    struct stat taken;
    if (::lstat(aside.c_str(), &taken) == 0) continue;
    if (errno != ENOENT) return std::unexpected(ErrnoCode(errno));
    if (::rename(path.c_str(), aside.c_str()) != 0) return std::unexpected(ErrnoCode(errno));
    return aside;
  }
  return std::unexpected(ErrnoCode(EEXIST));
}

namespace {

// Whether this process holds a flock on the file open as `fd` (through
// any descriptor): /proc/locks lists every lock with its holder's pid and
// the file's device and inode. True when that cannot be read: waiting on a
// lock of our own would never end.
bool FlockedByThisProcess(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return true;
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return true;
  const long self = ::getpid();
  bool held = false;
  char line[512];
  while (!held && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line
    // has "->" before FLOCK, and fails the match.
    char kind[16];
    long pid = 0;
    unsigned major_id = 0, minor_id = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line, "%*u: %15s %*s %*s %ld %x:%x:%llu", kind, &pid, &major_id, &minor_id,
                    &inode) == 5) {
      held = std::strcmp(kind, "FLOCK") == 0 && pid == self && major_id == major(st.st_dev) &&
             minor_id == minor(st.st_dev) && inode == st.st_ino;
    }
  }
  std::fclose(locks);
  return held;
}

}  // namespace

std::expected<FileLock, std::error_code> FileLock::Acquire(const std::string& lock_path) {
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) {
    if (errno != EACCES && errno != EPERM && errno != EROFS) {
      return std::unexpected(ErrnoCode(errno));
    }
    fd = UniqueFd(::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return FileLock(UniqueFd());
  }
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return FileLock(std::move(fd));
    if (errno == EINTR) continue;
    // A file system without locks: used without, as where none can be made.
    if (errno == ENOLCK || errno == EOPNOTSUPP) return FileLock(UniqueFd());
    if (errno != EWOULDBLOCK) return std::unexpected(ErrnoCode(errno));
    if (FlockedByThisProcess(fd.get())) return FileLock(UniqueFd());
    CheckInterrupt();
    ::usleep(10'000);
  }
}

}  // namespace velmar
