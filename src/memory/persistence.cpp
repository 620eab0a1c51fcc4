#include "memory/persistence.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>


#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>
#include <atomic>
#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/fs.hpp"
#include "common/memory_pages.hpp"
#include "common/run_in_halves.hpp"
#include "common/worker_pool.hpp"
#include "common/unique_fd.hpp"
#include "memory/json/index_json.hpp"

namespace velmar::memory {

namespace {

// A path the operating system can take: not empty, no NUL inside.
bool Usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// The whole file, expected to hold `expected` bytes, with room for `extra`
// more after it.
bool ReadAll(int fd, size_t expected, size_t extra, std::string* out) {
  // Room for the expected size, the extra and a byte more, so that the end
  // of the file is seen without growing; a file that grew meanwhile doubles
  // the room. The room is not zeroed first: every byte kept is read into.
  out->clear();
  size_t used = 0;
  size_t room = expected + extra + 1;
  if (expected >= (size_t{64} << 20) && AvailableProcessors() >= 2) {
    // A large file is read as two halves at once: the copy, and the fresh
    // memory it goes to, cost about as much as parsing it does.
    out->resize_and_overwrite(room, [](char*, size_t n) { return n; });
    AdviseHugePages(out->data(), room);
    bool ok[2] = {false, false};
    RunInHalves(true, [&](int half) {
      const size_t middle = expected / 2;
      ok[half] = half == 0 ? ReadAt(fd, out->data(), middle, 0)
                           : ReadAt(fd, out->data() + middle, expected - middle, middle);
    });
    // Then on to whatever the file gained since; a file that lost bytes
    // meanwhile is read again from the start, one way.
    const auto end = static_cast<off_t>(expected);
    if (ok[0] && ok[1] && ::lseek(fd, end, SEEK_SET) == end) {
      used = expected;
    } else if (::lseek(fd, 0, SEEK_SET) != 0) {
      return false;
    }
  }
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

// Rewrites the regular file at `target` with `text` where it is: for a file
// we may write in a directory we may not (no temporary file can be made
// there). Unlike a replacement this is not atomic; true only when every
// byte was written and synced.
bool RewriteInPlace(const std::string& target, std::string_view text) {
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const bool ok = !WriteAll(fd.get(), text) && ::fsync(fd.get()) == 0;
  return fd.Close() && ok;
}

}  // namespace

namespace {

Error Unreadable(std::string reason, int err = 0) {
  if (err != 0) return Error::FromErrno(std::move(reason), err);
  return Error{std::move(reason), {}};
}

// Drops the entries whose memory_id is empty; returns how many.
size_t DropEmptyIds(StoredPieces& pieces) {
  size_t dropped = 0;
  for (std::vector<StoredEntry>& piece : pieces) {
    dropped += std::erase_if(piece, [](const StoredEntry& e) { return e.memory_id.empty(); });
  }
  return dropped;
}

// Stores what was read, noting in `report` what is left out.
void Store(StoredPieces pieces, const IgnoredKeys& ignored, MetadataStore& store,
           LoadReport& report) {
  report.result = LoadResult::kLoaded;
  report.empty_ids = DropEmptyIds(pieces);
  report.ignored_keys = ignored.Names();
  report.more_ignored_keys = ignored.More();
  report.repeated_ids = store.BulkLoad(std::move(pieces));
}

Result<LoadReport> LoadInto(IndexFile& file, MetadataStore& store) {
  const std::string& path = file.path;
  LoadReport report;
  if (!Usable(path)) return report;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return report;
  file.seen = FileStamp::Of(st);
  // A directory, device or pipe is never an index file (and reading a pipe
  // or /dev/zero would not end).
  if (S_ISDIR(st.st_mode)) return std::unexpected(Unreadable("is a directory", EISDIR));
  if (!S_ISREG(st.st_mode)) return std::unexpected(Unreadable("is not a regular file", EINVAL));
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(Unreadable("cannot be opened for reading", errno));
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::unexpected(Unreadable("is not a regular file"));
  }
  file.seen = FileStamp::Of(st);
  IgnoredKeys ignored;
  // A large file the store wrote is read piece by piece, never whole.
  if (std::optional<StoredPieces> pieces = ReadIndexFileInPieces(
          fd.get(), static_cast<size_t>(st.st_size), store.Pool(), &ignored)) {
    fd.Close();
    Store(std::move(*pieces), ignored, store, report);
    return report;
  }
  std::string text;
  // Room for the padding below too, so that adding it does not copy the text.
  if (!ReadAll(fd.get(), static_cast<size_t>(st.st_size), kJsonPadding, &text)) {
    return std::unexpected(Unreadable("cannot be read", errno));
  }
  fd.Close();
  // Parsed in place, past the zeros the parser may read beyond the end. The
  // parser also rejects text that is not valid UTF-8.
  const size_t size = text.size();
  text.resize(size + kJsonPadding, '\0');
  Result<StoredPieces> entries = ReadIndexJsonInPlace(text.data(), size, store.Pool(), &ignored);
  if (!entries) return std::unexpected(std::move(entries.error()));
  std::string().swap(text);
  Store(std::move(*entries), ignored, store, report);
  return report;
}

Result<LoadReport> LoadOrError(IndexFile& file, MetadataStore& store) noexcept {
  // Filled aside and swapped in whole, so that a load that fails half-way
  // (no memory for the entries, say) leaves the store as it was.
  try {
    // Rare (the binding always loads into a new store): merged as
    // Insert would, entry by entry.
    if (store.CountKeys().entries != 0) return LoadInto(file, store);
    MetadataStore loaded;
    Result<LoadReport> result = LoadInto(file, loaded);
    if (result && result->result == LoadResult::kLoaded) store.Swap(loaded);
    return result;
  } catch (const std::bad_alloc&) {
    return std::unexpected(Unreadable("needs more memory than there is", ENOMEM));
  } catch (...) {
    // Loading never raises: whatever went wrong, the file was not loaded.
    return std::unexpected(Unreadable("could not be loaded"));
  }
}

}  // namespace

Result<LoadReport> LoadIndexFile(IndexFile& file, MetadataStore& store) noexcept {
  file.seen.reset();
  Result<LoadReport> result = LoadOrError(file, store);
  // A file the store does not hold all of is kept by the first save.
  file.keep_original = !result || result->LeftOut();
  return result;
}

namespace {

// Why a save to `target` cannot go ahead, or nothing.
std::optional<Error> CheckTarget(const std::string& target, struct stat* existing, bool* exists) {
  *exists = ::stat(target.c_str(), existing) == 0;
  if (!*exists && errno != ENOENT) return Error::FromErrno("cannot look up the file", errno);
  // Only a regular file is replaced. Renaming over a directory fails anyway,
  // and a device or pipe must never become a plain file.
  if (*exists && S_ISDIR(existing->st_mode)) return Error::FromErrno("not a regular file", EISDIR);
  if (*exists && !S_ISREG(existing->st_mode)) return Error::Of(ErrorKind::kUnsupported, "not a regular file");
  // Rewriting the file in place needs permission to write it; replacing it
  // must not get round a file made read-only to protect it.
  if (*exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return Error::FromErrno("the file may not be written", errno);
  }
  return std::nullopt;
}

}  // namespace

namespace {

Result<SaveReport> Save(IndexFile& file, const MetadataStore& store) {
  const std::string& path = file.path;
  if (!Usable(path) || path.back() == '/') {
    return std::unexpected(Error::Of(ErrorKind::kInvalidData, "not a file path"));
  }
  // The velmar command's lock: no other writer loads or saves meanwhile.
  auto lock = FileLock::Acquire(path + ".lock");
  if (!lock) return std::unexpected(Error{"cannot take the lock file", lock.error()});
  const std::string target = FollowLinks(path);
  struct stat existing;
  bool exists = false;
  if (std::optional<Error> refused = CheckTarget(target, &existing, &exists)) {
    return std::unexpected(std::move(*refused));
  }
  // Another writer's file is kept whole, whatever this index held; else the
  // file this index could not hold all of.
  const bool replaced = exists && file.seen != FileStamp::Of(existing);
  const char* keep_as = nullptr;
  if (replaced) {
    keep_as = ".replaced";
  } else if (exists && file.keep_original) {
    keep_as = ".unreadable";
  }

  std::string text;
  try {
    // Written straight from the store's shards, without copying entries.
    text = WriteStoreJson(store);
  } catch (const std::bad_alloc&) {
    // No room for the text: nothing is written.
    return std::unexpected(Error::FromErrno("no memory for the text", ENOMEM));
  }

  RemoveLeftovers(target);
  auto atomic = AtomicFile::Create(target);
  if (!atomic) {
    // A file we may write in a directory we may not: no temporary file, so
    // the file is rewritten where it is, or it could never be saved again.
    // Not for a file that is to be kept aside first, which needs the
    // directory too.
    const std::error_code ec = atomic.error();
    const bool no_entry_allowed = ec == std::errc::permission_denied ||
                                  ec == std::errc::operation_not_permitted;
    if (exists && no_entry_allowed && keep_as == nullptr && RewriteInPlace(target, text)) {
      file.seen = StampOf(target);
      return SaveReport{};
    }
    return std::unexpected(Error{"cannot write the file", ec});
  }
  // Replacing the file must not widen who may read it: the new file takes
  // the old one's permission bits, as rewriting it in place would keep them.
  if (exists) {
    // Best effort: keeping the owner needs the privilege to give files away;
    // without it the file stays the saver's own, as any new file would be.
    if (::fchown(atomic->fd(), existing.st_uid, existing.st_gid) != 0) errno = 0;
    if (::fchmod(atomic->fd(), existing.st_mode & 07777) != 0) {
      return std::unexpected(Error::FromErrno("cannot set the file's permissions", errno));
    }
  }
  std::error_code ec = atomic->Write(text);
  if (!ec) ec = atomic->Sync();
  // The file on disk goes aside only once its replacement is safely
  // written, so a failed save leaves everything where it was.
  SaveReport report;
  if (!ec && keep_as != nullptr) {
    auto aside = MoveAside(target, keep_as);
    if (aside) {
      if (replaced) report.replaced = std::move(*aside);
    } else {
      ec = aside.error();
    }
  }
  if (!ec) ec = atomic->Commit();
  if (ec) return std::unexpected(Error{"cannot write the file", ec});
  // Taken under the lock: no writer that takes it has been at the file since.
  file.seen = StampOf(target);
  file.keep_original = false;
  return report;
}

}  // namespace

Result<SaveReport> SaveIndexFile(IndexFile& file, const MetadataStore& store) {
  Result<SaveReport> saved = Save(file, store);
  // What the operating system said, for the one who reads the message.
  if (!saved && saved.error().cause) {
    Error& error = saved.error();
    error.message.append(" (").append(error.cause.message()).append(")");
  }
  return saved;
}

}  // namespace velmar::memory
