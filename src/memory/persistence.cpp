#include "memory/persistence.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>


#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.hpp"
#include "memory/json/index_json.hpp"

namespace velmar::memory {

namespace {

// A path the operating system can take: not empty, no NUL inside.
bool Usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

bool ReadAll(int fd, size_t size_hint, std::string* out) {
  // Room for the expected size and a byte more, so that the end of the file
  // is seen without growing; a file that grew meanwhile doubles the room.
  // The room is not zeroed first: every byte kept is read into.
  out->clear();
  size_t used = 0;
  size_t room = size_hint + 1;
  for (;;) {
    if (used == out->size()) {
      room = std::max(room, 2 * used);
      out->resize_and_overwrite(room, [](char*, size_t n) { return n; });
      AdviseHugePages(out->data() + used, room - used);
    }
    const ssize_t n = ::read(fd, out->data() + used, out->size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out->resize(used);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // EFBIG, ENOSPC, EIO, ...
    }
    if (n == 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Where a save must put the file so that a symbolic link at `path` keeps
// pointing at the index: the end of the link chain (which need not exist).
// Renaming over the link itself would replace the link with a plain file.
std::string FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    ssize_t n;
    while ((n = ::readlink(current.c_str(), target.data(), target.size())) >= 0 &&
           static_cast<size_t>(n) == target.size()) {
      target.resize(target.size() * 2);
    }
    if (n < 0) return current;
    target.resize(static_cast<size_t>(n));
    if (target.empty()) return current;
    if (target.front() == '/') {
      current = std::move(target);
    } else {
      current = DirectoryOf(current).append("/").append(target);
    }
  }
  return current;  // a loop: the save fails when it tries to use it
}

// Moves the unreadable file at `path` to the first free name of
// "<path>.unreadable", "<path>.unreadable.1", ... without replacing anything.
// True when nothing is left at `path` to be overwritten.
bool KeepAside(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  for (unsigned n = 0; n < 100000; ++n) {
    std::string aside = path;
    aside.append(".unreadable");
    if (n > 0) aside.append(".").append(std::to_string(n));
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // The file system cannot refuse to replace; look first instead.
    struct stat taken;
    if (::lstat(aside.c_str(), &taken) == 0) continue;
    if (errno != ENOENT) return false;
    return ::rename(path.c_str(), aside.c_str()) == 0;
  }
  return false;
}

// The temporary files of a save to `target` are named
// "<dir>/.<base>.<pid>.<n>.tmp", with <base> the target's file name cut to
// 200 bytes (within NAME_MAX however long the name) and <pid> the writer's
// process. This is the part before <pid>.
std::string TemporaryPrefix(const std::string& target) {
  std::string prefix(".");
  prefix.append(target, target.rfind('/') + 1, 200).append(".");
  return prefix;
}

// Whether `name` is "<prefix><pid>.<n>.tmp"; its pid in *pid.
bool IsTemporaryName(std::string_view name, std::string_view prefix, pid_t* pid) {
  if (!name.starts_with(prefix) || !name.ends_with(".tmp")) return false;
  name.remove_prefix(prefix.size());
  name.remove_suffix(4);
  const size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const auto digits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(name.substr(0, dot)) || !digits(name.substr(dot + 1)) || dot > 9) return false;
  *pid = static_cast<pid_t>(std::stol(std::string(name.substr(0, dot))));
  return *pid > 0;
}

// Removes the temporary files that earlier saves to `target` left behind
// when they were killed part-way: those whose writer process is gone. A
// writer holds a lock on its file while it lives, so a file whose lock can
// be taken, and whose process does not exist, has no writer (the lock also
// protects a writer in another pid namespace, whose pid means nothing
// here). Best effort: anything in the way leaves the file.
void RemoveLeftovers(const std::string& target) {
  const std::string prefix = TemporaryPrefix(target);
  const int dir_fd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return;
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    ::close(dir_fd);
    return;
  }
  std::vector<std::string> gone;
  while (const dirent* entry = ::readdir(dir)) {
    pid_t pid = 0;
    if (!IsTemporaryName(entry->d_name, prefix, &pid) || pid == ::getpid()) continue;
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or cannot tell
    UniqueFd fd(::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    gone.emplace_back(entry->d_name);
  }
  for (const std::string& name : gone) ::unlinkat(dir_fd, name.c_str(), 0);
  ::closedir(dir);  // closes dir_fd
}

// A new, empty file beside `target`, made the way a plain create would make
// it (mode 0666 less the umask), and locked for as long as this process
// holds it. Its name is in *temp_path.
int CreateTemporary(const std::string& target, std::string* temp_path) {
  static std::atomic<unsigned> counter{0};
  const std::string dir = DirectoryOf(target);
  const std::string prefix = TemporaryPrefix(target);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    temp_path->assign(dir).append("/").append(prefix);
    temp_path->append(std::to_string(::getpid()));
    temp_path->append(".").append(std::to_string(counter.fetch_add(1))).append(".tmp");
    const int fd = ::open(temp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::flock(fd, LOCK_EX | LOCK_NB);  // new: nobody else can hold it
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Rewrites the regular file at `target` with `text` where it is: for a file
// we may write in a directory we may not (no temporary file can be made
// there). Unlike a replacement this is not atomic; true only when every
// byte was written and synced.
bool RewriteInPlace(const std::string& target, std::string_view text) {
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const bool ok = WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  return fd.Close() && ok;
}

bool SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A directory we may search and write but not read cannot be opened; the
  // rename is done and there is nothing more to ask for.
  if (!fd) return true;
  if (::fsync(fd.get()) == 0) return true;
  return errno == EINVAL || errno == EROFS;  // no directory sync here
}

}  // namespace

namespace {

LoadResult LoadInto(const std::string& path, MetadataStore& store) {
  if (!Usable(path)) return LoadResult::kNoFile;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return LoadResult::kNoFile;
  // A directory, device or pipe is never an index file (and reading a pipe
  // or /dev/zero would not end).
  if (!S_ISREG(st.st_mode)) return LoadResult::kUnreadable;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return LoadResult::kUnreadable;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return LoadResult::kUnreadable;
  std::string text;
  // Room for the padding below too, so that adding it does not copy the text.
  const size_t expected = static_cast<size_t>(st.st_size) + kJsonPadding;
  if (!ReadAll(fd.get(), expected, &text)) return LoadResult::kUnreadable;
  fd.Close();
  // Parsed in place, past the zeros the parser may read beyond the end. The
  // parser also rejects text that is not valid UTF-8.
  const size_t size = text.size();
  text.resize(size + kJsonPadding, '\0');
  std::optional<std::vector<MetadataEntry>> entries = ReadIndexJsonInPlace(text.data(), size);
  if (!entries) return LoadResult::kUnreadable;
  std::string().swap(text);
  store.BulkLoad(std::move(*entries));
  return LoadResult::kLoaded;
}

}  // namespace

LoadResult LoadIndexFile(const std::string& path, MetadataStore& store) noexcept {
  // Filled aside and swapped in whole, so that a load that fails half-way
  // (no memory for the entries, say) leaves the store as it was.
  try {
    // Rare (the binding always loads into a new store): merged as
    // insert_entry would, entry by entry.
    if (store.CountKeys().entries != 0) return LoadInto(path, store);
    MetadataStore loaded;
    const LoadResult result = LoadInto(path, loaded);
    if (result == LoadResult::kLoaded) store.Swap(loaded);
    return result;
  } catch (...) {
    // Loading never raises: whatever went wrong, the file was not loaded.
    return LoadResult::kUnreadable;
  }
}

bool SaveIndexFile(const std::string& path, const MetadataStore& store, bool keep_unreadable) {
  if (!Usable(path) || path.back() == '/') return false;
  const std::string target = FollowLinks(path);

  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT) return false;
  // Only a regular file is replaced. Renaming over a directory fails anyway,
  // and a device or pipe must never become a plain file.
  if (exists && !S_ISREG(existing.st_mode)) return false;
  // Rewriting the file in place needs permission to write it; replacing it
  // must not get round a file made read-only to protect it.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;

  std::string text;
  try {
    // Written straight from the store's shards, without copying entries.
    text = WriteStoreJson(store);
  } catch (const std::bad_alloc&) {
    return false;  // no room for the text: nothing is written
  }

  RemoveLeftovers(target);
  std::string temp_path;
  UniqueFd fd(CreateTemporary(target, &temp_path));
  if (!fd) {
    // A file we may write in a directory we may not: no temporary file, so
    // the file is rewritten where it is, or it could never be saved again.
    // Not for a file that is to be kept aside first, which needs the
    // directory too.
    const bool no_entry_allowed = errno == EACCES || errno == EPERM;
    if (exists && no_entry_allowed && !keep_unreadable) return RewriteInPlace(target, text);
    return false;
  }
  bool ok = true;
  // Replacing the file must not widen who may read it: the new file takes
  // the old one's permission bits, as rewriting it in place would keep them.
  if (exists) {
    // Best effort: keeping the owner needs the privilege to give files away;
    // without it the file stays the saver's own, as any new file would be.
    if (::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0) errno = 0;
    ok = ::fchmod(fd.get(), existing.st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  // The unreadable file goes aside only once its replacement is safely
  // written, so a failed save leaves everything where it was.
  if (ok && keep_unreadable) ok = KeepAside(target);
  ok = ok && ::rename(temp_path.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp_path.c_str());
    return false;
  }
  return SyncDirectory(DirectoryOf(target));
}

}  // namespace velmar::memory
