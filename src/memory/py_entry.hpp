#pragma once

#include <Python.h>

#include <optional>

#include "memory/entry.hpp"

namespace velmar::python {

// Converts one dict (or dict subclass) into an entry, field by field with
// defaults for anything absent or unusable. Keys are looked up in the dict's
// own storage, so a subclass's __getitem__ or __missing__ is never called.
// Returns nullopt when there is no usable, non-empty memory_id. Never leaves
// a Python exception set.
std::optional<memory::MetadataEntry> entry_from_dict(PyObject* dict);

// The wall-clock time as seconds since the Unix epoch, with nanoseconds as
// the fraction: the default creation time.
double CurrentTime();

}  // namespace velmar::python
