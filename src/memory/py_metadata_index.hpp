#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "memory/store.hpp"

namespace velmar::python {

// What a PyMetadataIndex holds.
struct MetadataIndex {
  std::optional<std::string> path;
  std::shared_ptr<memory::MetadataStore> store;
  // Set when the constructor found a file at `path` that could not be
  // loaded; the first save keeps that file aside instead of overwriting it.
  bool unreadable_on_disk = false;
};

// The index behind a PyMetadataIndex instance.
MetadataIndex& IndexOf(PyObject* self);

// Methods defined in py_index_queries.cpp.
PyObject* IndexSearchStrict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* IndexSearchFlexible(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* IndexStats(PyObject* self, PyObject* unused);
PyObject* IndexSave(PyObject* self, PyObject* unused);

}  // namespace velmar::python
