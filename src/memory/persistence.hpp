#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/fs.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

// What loading found at the path when it did not fail.
enum class LoadResult {
  kLoaded,  // the file was read and its entries stored
  kNoFile,  // nothing exists at the path (or it cannot be looked up)
};

// The index file an index is bound to, as this process last saw it.
struct IndexFile {
  explicit IndexFile(std::string file_path) : path(std::move(file_path)) {}

  std::string path;
  // The file as it was when last loaded or saved; nullopt when there was
  // none. A save that finds something else there knows another writer
  // has been at it since.
  std::optional<FileStamp> seen;
  // Set when the file holds something the store does not (it could not be
  // loaded, or its load left something out): the next save first keeps it
  // as "<path>.unreadable" (or ".unreadable.N").
  bool keep_original = false;
};

// A load that succeeded, and what of the file it did not keep.
struct LoadReport {
  LoadResult result = LoadResult::kNoFile;
  // memory_ids that occur more than once, each once, sorted: the last
  // occurrence of each is stored.
  std::vector<std::string> repeated_ids;
  // Keys beyond the thirteen, ignored with their values (the first
  // IgnoredKeys::kNamed; `more_ignored_keys` when there were others).
  std::vector<std::string> ignored_keys;
  bool more_ignored_keys = false;
  // Entries whose memory_id is empty, which are not stored (no entry made
  // from Python can have one).
  size_t empty_ids = 0;

  bool LeftOut() const { return !repeated_ids.empty() || !ignored_keys.empty() || empty_ids != 0; }
};

// Loads the index file at file.path into `store`, all or nothing, and
// records in `file` what it saw. Never throws. A file that exists but
// cannot be loaded (memory included) is an Error whose message says why,
// in words that follow "the file ..." ("ends in the middle of an entry");
// the store is then unchanged. Its cause is EISDIR or EINVAL when the path
// names a directory or another file that is not a regular one, which a
// save never replaces.
Result<LoadReport> LoadIndexFile(IndexFile& file, MetadataStore& store) noexcept;

// A save that succeeded: where another writer's version of the file was
// kept (empty when the file was as this index last saw it).
struct SaveReport {
  std::string replaced;
};

// Writes a snapshot of `store` to file.path, replacing the file
// atomically, while holding "<path>.lock" (the velmar command's lock).
// The file now there is first kept aside when the store does not hold it
// all: as "<path>.replaced" (or ".replaced.N") when it is not the file this
// index last loaded or saved (another writer's), else as
// "<path>.unreadable" (or ".unreadable.N") when file.keep_original is set.
// Succeeds only when the file on disk now holds the snapshot, and then
// records it in `file`.
// Otherwise an Error whose message says what failed, and the operating
// system's reason in parentheses where there is one ("cannot write the
// file (Permission denied)"); its kind tells a caller the same.
Result<SaveReport> SaveIndexFile(IndexFile& file, const MetadataStore& store);

}  // namespace velmar::memory
