#pragma once

#include <Python.h>

#include "memory/search.hpp"

namespace velmar::python {

// The query of search_strict from its params dict, read leniently: a value
// of the wrong type or range makes its key count as absent. A user_id that
// is given but unusable matches nothing (the limit becomes 0), and each key
// the query does not know is named in a UserWarning, whose `key` and
// `known_keys` attributes give the key and the keys the query knows.
memory::StrictQuery ReadStrictQuery(PyObject* params);

// The same for search_flexible, which knows fewer keys.
memory::FlexibleQuery ReadFlexibleQuery(PyObject* params);

// The query of delete_where, read strictly, because a condition dropped
// there deletes more: a key the strict search does not know (or `limit`),
// a value it would not use (None included, and an empty list), or a dict
// with no condition at all raises ValueError naming the key (as its `key`
// attribute, beside `known_keys`).
memory::StrictQuery ReadDeletionQuery(PyObject* params);

}  // namespace velmar::python
