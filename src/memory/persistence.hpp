#pragma once

#include <string>

#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

enum class LoadResult {
  kLoaded,      // the file was read and every entry stored
  kNoFile,      // nothing exists at the path (or it cannot be looked up)
  kUnreadable,  // something exists there but could not be loaded; nothing stored
};

// Loads the index file at `path` into `store`, all or nothing. Never throws:
// any failure (memory included) is kUnreadable with the store unchanged.
LoadResult LoadIndexFile(const std::string& path, MetadataStore& store) noexcept;

// Writes a snapshot of `store` to `path`, replacing the file atomically.
// When `keep_unreadable` is set, the file now at `path` is first kept aside
// as "<path>.unreadable" (or ".unreadable.N"). Returns true only when the
// file on disk now holds the snapshot.
bool SaveIndexFile(const std::string& path, const MetadataStore& store, bool keep_unreadable);

}  // namespace velmar::memory
