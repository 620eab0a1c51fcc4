#pragma once

#include <string>

#include "common/error.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

// What loading found at the path when it did not fail.
enum class LoadResult {
  kLoaded,  // the file was read and every entry stored
  kNoFile,  // nothing exists at the path (or it cannot be looked up)
};

// Loads the index file at `path` into `store`, all or nothing. Never throws.
// A file that exists but cannot be loaded (memory included) is an Error
// whose message says why, in words that follow "the file ..." ("ends in
// the middle of an entry"); the store is then unchanged. Its cause is
// EISDIR or EINVAL when the path names a directory or another file that is
// not a regular one, which a save never replaces.
Result<LoadResult> LoadIndexFile(const std::string& path, MetadataStore& store) noexcept;

// Writes a snapshot of `store` to `path`, replacing the file atomically.
// When `keep_unreadable` is set, the file now at `path` is first kept aside
// as "<path>.unreadable" (or ".unreadable.N"). Succeeds only when the file
// on disk now holds the snapshot.
Result<void> SaveIndexFile(const std::string& path, const MetadataStore& store,
                           bool keep_unreadable);

}  // namespace velmar::memory
