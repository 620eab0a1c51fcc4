// get_system_info(): what the machine offers the video work.

#include "common/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "video/cpu_features.hpp"

namespace velmar::python {

namespace {

PyObject* GetSystemInfo(PyObject*, PyObject*) {
  return Boundary([&]() -> PyObject* {
    // Filled in this order, so the keys iterate in this order.
    Ref dict = Ref::Steal(PyDict_New());
    if (!dict) return nullptr;
    Ref threads = NewInt(ActualThreadCount());
    if (!threads || PyDict_SetItemString(dict.get(), "threads", threads.get()) < 0) return nullptr;
    PyObject* avx2 = video::GetCpuFeatures().avx2 ? Py_True : Py_False;
    if (PyDict_SetItemString(dict.get(), "avx2_supported", avx2) < 0) return nullptr;
    if (PyDict_SetItemString(dict.get(), "sse2_supported", Py_True) < 0) return nullptr;
    Ref version = NewStr("0.1.4");
    if (!version || PyDict_SetItemString(dict.get(), "version", version.get()) < 0) return nullptr;
    return dict.release();
  });
}

}  // namespace

PyMethodDef kGetSystemInfoDef = {"get_system_info", GetSystemInfo, METH_NOARGS,
                                 "get_system_info()\n--\n\n"};

}  // namespace velmar::python
