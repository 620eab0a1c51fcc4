#pragma once

#include <Python.h>

#include <optional>

#include "memory/entry.hpp"
#include "python/ref.hpp"

namespace velmar::python {

// Converts one dict (or dict subclass) into an entry, field by field with
// defaults for anything absent or unusable. Keys are looked up in the dict's
// own storage, so a subclass's __getitem__ or __missing__ is never called.
// Returns nullopt when there is no usable, non-empty memory_id. Raises
// nothing of its own; KeyboardInterrupt, SystemExit and MemoryError raised
// by the caller's objects propagate as PythonErrorSet (see lenient.hpp).
std::optional<memory::MetadataEntry> entry_from_dict(PyObject* dict);

// The entry as a new dict with the thirteen keys of the index file, in
// field order: lists as list, an absent chat_id or content_preview as None.
Ref EntryToDict(const memory::MetadataEntry& entry);

// The wall-clock time as seconds since the Unix epoch, with nanoseconds as
// the fraction: the default creation time.
double CurrentTime();

}  // namespace velmar::python
