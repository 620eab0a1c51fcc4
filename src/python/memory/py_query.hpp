#pragma once

#include <Python.h>

#include "memory/search.hpp"

namespace velmar::python {

// The query of search_strict from its params dict, read leniently: a value
// of the wrong type or range makes its key count as absent. A user_id that
// is given but unusable matches nothing (the limit becomes 0), and each key
// the query does not know is named in a UserWarning.
memory::StrictQuery ReadStrictQuery(PyObject* params);

// The same for search_flexible, which knows fewer keys.
memory::FlexibleQuery ReadFlexibleQuery(PyObject* params);

}  // namespace velmar::python
