#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "memory/persistence.hpp"
#include "memory/store/metadata_store.hpp"
#include "python/binding.hpp"

namespace velmar::python {

// What a PyMetadataIndex holds.
struct MetadataIndex {
  // The file bound to, as last loaded or saved; none without a path.
  std::optional<memory::IndexFile> file;
  std::shared_ptr<memory::MetadataStore> store;
  // Why the last save() returned False; none before any save and after
  // one that succeeded.
  std::optional<Error> last_save_error;
};

using MetadataIndexClass = NativeType<MetadataIndex>;

}  // namespace velmar::python
