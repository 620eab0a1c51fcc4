#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "common/unique_fd.hpp"

namespace velmar {

// Writes all of `data` to `fd`, retrying on EINTR and after partial writes.
// Returns the error of the write that failed (a write of 0 bytes counts as
// EIO), or no error once every byte is written.
std::error_code WriteAll(int fd, std::string_view data);

// Reads the `n` bytes of `fd` from `offset` on into `out` (pread), retrying
// on EINTR and after partial reads; false on an error or an early end.
bool ReadAt(int fd, char* out, size_t n, size_t offset);

// `path` without its last component, as a directory to open: "a/b" -> "a",
// "b" -> ".", "/b" -> "/". Only a final component is removed, so "a/b/"
// gives "a/b".
std::string DirectoryOf(const std::string& path);

// The last component of `path` ("a/b.jpg" -> "b.jpg"); `path` itself when
// it holds no '/'.
std::string BaseName(const std::string& path);

// `base` and `name` joined by one '/', as Python's os.path.join joins two
// parts: an empty `base` gives `name`, an absolute `name` replaces `base`,
// and no '/' is added after a `base` that already ends with one.
std::string JoinPath(std::string_view base, std::string_view name);

// mkdir -p with mode 0777 (less the umask). An existing directory is fine,
// also one made by someone else meanwhile; anything else at the path is an
// error, and so is a path holding a NUL (EINVAL).
std::error_code CreateDirectories(const std::string& path);

// Fsyncs the directory `dir`, so that a rename inside it survives a crash.
// A directory that cannot be opened for reading (search and write only) or a
// file system without directory sync (EINVAL, EROFS) is not an error: there
// is nothing more to ask for.
std::error_code SyncDirectory(const std::string& dir);

// A regular expression (in the syntax std::regex and Python's re share)
// that the name of every default temporary file of an AtomicFile fullmatches
// when the target's base name fullmatches `base_pattern` (and is under 200
// bytes, which the temporary name keeps whole), for callers that
// recognise, in a listing, the files a killed writer left.
std::string TempNamePattern(std::string_view base_pattern);

// What a file was when it was last read or written: enough to tell, later,
// that someone else has changed or replaced it since.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;

  static FileStamp Of(const struct stat& st);
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path` (symbolic links followed), or nullopt
// when nothing is there (or it cannot be looked up).
std::optional<FileStamp> StampOf(const std::string& path);

// Moves the file at `path` to the first free name of "<path><suffix>",
// "<path><suffix>.1", "<path><suffix>.2", ... without replacing anything
// there. Returns the name it took; an empty name when nothing was at `path`.
std::expected<std::string, std::error_code> MoveAside(const std::string& path,
                                                      std::string_view suffix);

// An exclusive flock on the file `lock_path` (made if missing, mode 0666
// less the umask), held until the object goes. It is the lock the velmar
// command takes on "<index>.lock" (velmar_cli.files.index_lock): the same
// file and the same kind of lock, so the two exclude each other. Where the
// lock file cannot be made for want of permission (a directory no writer
// may write in), the lock is taken on the file opened for reading, or, when
// there is none, not at all: as the command does. So is a file system that
// has no locks.
class FileLock {
 public:
  // Waits for the lock, calling CheckInterrupt (which may throw
  // Interrupted) between tries. A lock that this process already holds
  // through another descriptor (the command, saving an index it loaded
  // under its lock) counts as held: flock would wait for ever on it.
  static std::expected<FileLock, std::error_code> Acquire(const std::string& lock_path);

 private:
  explicit FileLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// How an AtomicFile names and creates its temporary file.
struct AtomicFileOptions {
  // Permission bits the temporary file is created with, less the umask.
  mode_t mode = 0666;
  // The name of the temporary file for attempt 0, 1, ...; it must lie in
  // the target's directory. A name that exists already is skipped (up to
  // 1000 attempts). Empty: "<dir>/.<base>.<pid>.<n>.tmp".
  std::function<std::string(unsigned attempt)> temp_name;
};

// A file replaced atomically, with one durability rule: the new content
// goes to a temporary file in the target's directory, which is fsynced,
// closed and renamed over the target, and then the directory is fsynced.
// Until Commit succeeds the target is untouched, and on every failure (and
// on destruction before Commit) the temporary file is removed. The
// temporary file is flock'ed for as long as this object holds it, so that a
// cleaner can tell a live writer's file from one a killed process left.
//
//   auto file = AtomicFile::Create(path);
//   if (!file) return file.error();
//   if (auto ec = file->Write(text)) return ec;
//   return file->Commit();
class AtomicFile {
 public:
  // Creates the temporary file for replacing `target` (the path is used as
  // given: a symbolic link there is replaced, not followed).
  static std::expected<AtomicFile, std::error_code> Create(std::string target,
                                                           const AtomicFileOptions& options = {});

  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&& other) noexcept;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Removes the temporary file unless Commit succeeded.
  ~AtomicFile();

  // The temporary file's descriptor, for callers that write through it or
  // set its owner and mode; -1 once Sync has run.
  int fd() const { return fd_.get(); }
  const std::string& target() const { return target_; }
  const std::string& temp_path() const { return temp_path_; }

  // Appends `data` to the temporary file (WriteAll).
  std::error_code Write(std::string_view data);

  // Fsyncs and closes the temporary file. Commit does this too; calling it
  // first lets a caller act between "the new content is safe on disk" and
  // the rename. Idempotent once it succeeded; a failure removes the
  // temporary file.
  std::error_code Sync();

  // Sync, then renames the temporary file over the target and fsyncs the
  // directory. On failure the target is as it was before (unless only the
  // directory sync failed, which is reported after the rename).
  std::error_code Commit();

 private:
  AtomicFile(std::string target, std::string temp_path, UniqueFd fd);
  // Closes and unlinks the temporary file, if any is held.
  void Discard();

  std::string target_;
  std::string temp_path_;
  UniqueFd fd_;
  bool synced_ = false;
  bool held_ = false;  // the temporary file exists and is ours to remove
};

// Replaces the file at `path` with `bytes` through an AtomicFile: the old
// file stays whole unless every byte reached the disk.
std::error_code AtomicReplace(const std::string& path, std::string_view bytes,
                              const AtomicFileOptions& options = {});

// Replaces the file at `path` with what `write` writes to the descriptor it
// is given, through an AtomicFile; an error returned by `write` abandons the
// replacement and is returned.
std::error_code AtomicReplace(const std::string& path,
                              const std::function<std::error_code(int fd)>& write,
                              const AtomicFileOptions& options = {});

}  // namespace velmar
