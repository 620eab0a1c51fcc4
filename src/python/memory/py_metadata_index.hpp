#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "memory/store/metadata_store.hpp"
#include "python/binding.hpp"

namespace velmar::python {

// What a PyMetadataIndex holds.
struct MetadataIndex {
  std::optional<std::string> path;
  std::shared_ptr<memory::MetadataStore> store;
  // Set when the constructor found a file at `path` that could not be
  // loaded; the first save keeps that file aside instead of overwriting it.
  bool unreadable_on_disk = false;
};

using MetadataIndexClass = NativeType<MetadataIndex>;

}  // namespace velmar::python
