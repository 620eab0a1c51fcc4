// Module initialisation: builds `velmar`, `velmar.video` and `velmar.memory`,
// wires the classes and functions into them and registers the submodules in
// sys.modules. Holds no logic beyond this wiring.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/memory/py_metadata_index.hpp"
#include "python/types.hpp"
#include "python/video/py_extractor.hpp"
#include "python/video/py_frame.hpp"
#include "python/video/py_performance.hpp"

namespace velmar::python {
namespace {

// The submodule an export also lives in (for a submodule: which one it is).
enum class Submodule { kVideo, kMemory };

enum class ExportKind { kClass, kFunction, kSubmodule };

struct Export {
  const char* name;
  ExportKind kind;
  Submodule submodule;
  PyObject* (*type)() = nullptr;  // kClass
  PyMethodDef* def = nullptr;     // kFunction, whose ml_name is `name`
};

// What a class of `submodule` reports as its __module__.
const char* ModuleName(Submodule submodule) {
  return submodule == Submodule::kVideo ? "velmar.video" : "velmar.memory";
}

// Every exported name, in the order of the top-level __all__: the names
// every user of the module knows first, then the in-process scanner's. A
// submodule's __all__ is its own names in the same order. The top level
// gets video's classes first, then memory's, then the functions, then the
// submodules. Adding an export is one line here.
const Export kExports[] = {
    {"PyMetadataIndex", ExportKind::kClass, Submodule::kMemory, MetadataIndexClass::Type},
    {"PyVideoFrame", ExportKind::kClass, Submodule::kVideo, FrameClass::Type},
    {"PyPerformanceResult", ExportKind::kClass, Submodule::kVideo, PerformanceResultClass::Type},
    {"VideoKeyframeExtractor", ExportKind::kClass, Submodule::kVideo, ExtractorClass::Type},
    {"extract_keyframes_from_video", ExportKind::kFunction, Submodule::kVideo, nullptr,
     &kExtractKeyframesFromVideoDef},
    {"get_system_info", ExportKind::kFunction, Submodule::kVideo, nullptr, &kGetSystemInfoDef},
    {"video", ExportKind::kSubmodule, Submodule::kVideo},
    {"memory", ExportKind::kSubmodule, Submodule::kMemory},
    {"scan_video", ExportKind::kFunction, Submodule::kVideo, nullptr, &kScanVideoDef},
    {"ScanResult", ExportKind::kClass, Submodule::kVideo, ScanResultType},
    {"Keyframe", ExportKind::kClass, Submodule::kVideo, KeyframeType},
    {"Scene", ExportKind::kClass, Submodule::kVideo, SceneType},
    {"split_video", ExportKind::kFunction, Submodule::kVideo, nullptr, &kSplitVideoDef},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velmar",  // m_name
    "",        // m_doc
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

PyObject* g_module = nullptr;
std::atomic<int64_t> g_interpreter{-1};

// Sets module.name = value and appends name to module.__all__ (made empty
// if missing; an __all__ that is not a list is an error).
bool AddExported(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "%s.__all__ must be a list", PyModule_GetName(module));
    return false;
  }
  Ref key = Ref::Steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

// Sets module.__all__ to the names of kExports that `filter` accepts, in
// table order.
template <class Filter>
bool SetAll(PyObject* module, Filter filter) {
  Ref all = Ref::Steal(PyList_New(0));
  if (!all) return false;
  for (const Export& entry : kExports) {
    if (!filter(entry)) continue;
    Ref key = Ref::Steal(PyUnicode_FromString(entry.name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  }
  return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

// The submodule `submodule` called `name`: its classes, added in table
// order, then the top level's functions it shares, set as plain attributes.
Ref BuildSubmodule(PyObject* top, const char* name, Submodule submodule) {
  Ref module = Ref::Steal(PyModule_New(name));
  if (!module) return {};
  for (const Export& entry : kExports) {
    if (entry.kind != ExportKind::kClass || entry.submodule != submodule) continue;
    if (!AddExported(module.get(), entry.name, entry.type())) return {};
  }
  for (const Export& entry : kExports) {
    if (entry.kind != ExportKind::kFunction || entry.submodule != submodule) continue;
    Ref fn = Ref::Steal(PyObject_GetAttrString(top, entry.name));
    if (!fn || PyObject_SetAttrString(module.get(), entry.name, fn.get()) < 0) return {};
  }
  const auto own = [&](const Export& entry) {
    return entry.kind != ExportKind::kSubmodule && entry.submodule == submodule;
  };
  if (!SetAll(module.get(), own)) return {};
  return module;
}

// Builds the top-level module and its submodules; returns the finished
// module, or null with the error set.
Ref BuildModule() {
  Ref top = Ref::Steal(PyModule_Create(&g_module_def));
  if (!top) return {};

  for (Submodule submodule : {Submodule::kVideo, Submodule::kMemory}) {
    for (const Export& entry : kExports) {
      if (entry.kind != ExportKind::kClass || entry.submodule != submodule) continue;
      PyObject* type = entry.type();
      if (type == nullptr || !AddExported(top.get(), entry.name, type)) return {};
    }
  }
  Ref module_name = Ref::Steal(PyUnicode_FromString("velmar"));
  if (!module_name) return {};
  for (const Export& entry : kExports) {
    if (entry.kind != ExportKind::kFunction) continue;
    Ref fn = Ref::Steal(PyCFunction_NewEx(entry.def, top.get(), module_name.get()));
    if (!fn || !AddExported(top.get(), entry.def->ml_name, fn.get())) return {};
  }
  std::vector<Ref> submodules;
  for (const Export& entry : kExports) {
    if (entry.kind != ExportKind::kSubmodule) continue;
    Ref module = BuildSubmodule(top.get(), entry.name, entry.submodule);
    if (!module || !AddExported(top.get(), entry.name, module.get())) return {};
    submodules.push_back(std::move(module));
  }

  // A module with a __path__ is a package; make the top level one.
  Ref path = Ref::Steal(PyObject_GetAttrString(top.get(), "__path__"));
  if (!path) {
    PyErr_Clear();
    Ref empty = Ref::Steal(PyList_New(0));
    if (!empty || PyObject_SetAttrString(top.get(), "__path__", empty.get()) < 0) return {};
  }

  // Registering the submodules makes `import velmar.video` work without any
  // import machinery. A failure here only loses the dotted imports.
  Ref sys = Ref::Steal(PyImport_ImportModule("sys"));
  Ref modules = sys ? Ref::Steal(PyObject_GetAttrString(sys.get(), "modules")) : Ref();
  if (modules && PyDict_Check(modules.get())) {
    for (const Ref& module : submodules) {
      Ref dotted = Ref::Steal(PyUnicode_FromFormat("velmar.%s", PyModule_GetName(module.get())));
      if (!dotted || PyDict_SetItem(modules.get(), dotted.get(), module.get()) < 0) PyErr_Clear();
    }
  }
  PyErr_Clear();

  for (const Export& entry : kExports) {
    if (entry.kind != ExportKind::kClass) continue;
    Ref name = Ref::Steal(PyUnicode_FromString(ModuleName(entry.submodule)));
    if (!name || PyObject_SetAttrString(entry.type(), "__module__", name.get()) < 0) {
      PyErr_Clear();
    }
  }

  if (!SetAll(top.get(), [](const Export&) { return true; })) return {};
  return top;
}

PyObject* Init() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "velmar can be imported by only one interpreter per process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref top = BuildModule();
  if (!top) return nullptr;
  InstallInterruptCheck();
  g_module = top.release();
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace velmar::python

PyMODINIT_FUNC PyInit_velmar(void) { return velmar::python::Init(); }
