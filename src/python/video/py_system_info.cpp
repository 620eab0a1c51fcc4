// get_system_info(): what the machine offers the video work.

#include "common/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/binding.hpp"
#include "python/types.hpp"
#include "video/cpu_features.hpp"

namespace velmar::python {

namespace {

const Args kGetSystemInfoArgs{{"get_system_info"}};

Ref GetSystemInfo(PyObject*) {
  // Filled in this order, so the keys iterate in this order.
  Ref dict = Check(PyDict_New());
  CheckStatus(PyDict_SetItemString(dict.get(), "threads", NewInt(ActualThreadCount()).get()));
  PyObject* avx2 = video::GetCpuFeatures().avx2 ? Py_True : Py_False;
  CheckStatus(PyDict_SetItemString(dict.get(), "avx2_supported", avx2));
  CheckStatus(PyDict_SetItemString(dict.get(), "sse2_supported", Py_True));
  CheckStatus(PyDict_SetItemString(dict.get(), "version", NewStr(VELMAR_VERSION).get()));
  return dict;
}

}  // namespace

PyMethodDef kGetSystemInfoDef = Def<kGetSystemInfoArgs, GetSystemInfo>();

}  // namespace velmar::python
