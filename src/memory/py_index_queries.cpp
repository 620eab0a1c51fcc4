#include "memory/py_metadata_index.hpp"

namespace velmar::python {

namespace {
PyObject* NotYet() {
  PyErr_SetString(PyExc_NotImplementedError, "not available yet");
  return nullptr;
}
}  // namespace

PyObject* IndexSearchStrict(PyObject*, PyObject*, PyObject*) { return NotYet(); }
PyObject* IndexSearchFlexible(PyObject*, PyObject*, PyObject*) { return NotYet(); }
PyObject* IndexStats(PyObject*, PyObject*) { return NotYet(); }
PyObject* IndexSave(PyObject*, PyObject*) { return NotYet(); }

}  // namespace velmar::python
