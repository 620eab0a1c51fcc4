#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "memory/persistence.hpp"
#include "memory/store/metadata_store.hpp"
#include "python/binding.hpp"

namespace velmar::python {

// What a PyMetadataIndex holds.
struct MetadataIndex {
  // The file bound to, as last loaded or saved; none without a path.
  std::optional<memory::IndexFile> file;
  std::shared_ptr<memory::MetadataStore> store;
};

using MetadataIndexClass = NativeType<MetadataIndex>;

}  // namespace velmar::python
