// Module initialisation: builds `velmar`, `velmar.video` and `velmar.memory`,
// wires the classes and functions into them and registers the submodules in
// sys.modules. Holds no logic beyond this wiring.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/memory/py_metadata_index.hpp"
#include "python/types.hpp"
#include "python/video/py_extractor.hpp"
#include "python/video/py_frame.hpp"
#include "python/video/py_performance.hpp"

namespace velmar::python {
namespace {

// The submodule a class belongs to (besides the top level).
enum class Submodule { kVideo, kMemory };

struct ClassEntry {
  const char* name;
  PyObject* (*type)();
  Submodule submodule;
};

// What a class of `submodule` reports as its __module__.
const char* ModuleName(Submodule submodule) {
  return submodule == Submodule::kVideo ? "velmar.video" : "velmar.memory";
}

// Classes in the order they are added to the top-level module. Adding a
// class is one line here.
const ClassEntry kClasses[] = {
    {"PyVideoFrame", FrameClass::Type, Submodule::kVideo},
    {"PyPerformanceResult", PerformanceResultClass::Type, Submodule::kVideo},
    {"VideoKeyframeExtractor", ExtractorClass::Type, Submodule::kVideo},
    {"PyMetadataIndex", MetadataIndexClass::Type, Submodule::kMemory},
    {"ScanResult", ScanResultType, Submodule::kVideo},
    {"Keyframe", KeyframeType, Submodule::kVideo},
    {"Scene", SceneType, Submodule::kVideo},
};

// Module-level functions, created against the top-level module. Adding a
// function is one line here.
PyMethodDef* const kFunctions[] = {
    &kExtractKeyframesFromVideoDef,
    &kGetSystemInfoDef,
    &kScanVideoDef,
    nullptr,
};

// The exported names, in their fixed order: the original API first, then
// the in-process scanner's. A name that does not exist is left out, so every
// __all__ lists exactly what can be imported.
const std::initializer_list<const char*> kTopLevelAll = {
    "PyMetadataIndex", "PyVideoFrame", "PyPerformanceResult", "VideoKeyframeExtractor",
    "extract_keyframes_from_video", "get_system_info", "video", "memory",
    "scan_video", "ScanResult", "Keyframe", "Scene"};
const std::initializer_list<const char*> kVideoAll = {
    "PyVideoFrame", "PyPerformanceResult", "VideoKeyframeExtractor",
    "extract_keyframes_from_video", "get_system_info",
    "scan_video", "ScanResult", "Keyframe", "Scene"};
const std::initializer_list<const char*> kMemoryAll = {"PyMetadataIndex"};

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

bool SetAll(PyObject* module, std::initializer_list<const char*> names) {
  Ref all = Ref::Steal(PyList_New(0));
  if (!all) return false;
  for (const char* name : names) {
    if (!PyObject_HasAttrString(module, name)) continue;
    Ref key = Ref::Steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  }
  return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

// Steps 3 to 12 of initialisation; returns the finished module or null.
Ref BuildModule() {
  Ref top = Ref::Steal(PyModule_Create(&g_module_def));
  if (!top) return {};

  for (const ClassEntry& entry : kClasses) {
    PyObject* type = entry.type();
    if (type == nullptr || !AddExported(top.get(), entry.name, type)) return {};
  }
  Ref module_name = Ref::Steal(PyUnicode_FromString("velmar"));
  if (!module_name) return {};
  for (PyMethodDef* def : kFunctions) {
    if (def == nullptr) continue;
    Ref fn = Ref::Steal(PyCFunction_NewEx(def, top.get(), module_name.get()));
    if (!fn || !AddExported(top.get(), def->ml_name, fn.get())) return {};
  }

  Ref video = Ref::Steal(PyModule_New("video"));
  if (!video) return {};
  for (const ClassEntry& entry : kClasses) {
    if (entry.submodule != Submodule::kVideo) continue;
    if (!AddExported(video.get(), entry.name, entry.type())) return {};
  }
  for (const char* name : {"extract_keyframes_from_video", "get_system_info", "scan_video"}) {
    if (!PyObject_HasAttrString(top.get(), name)) continue;
    Ref fn = Ref::Steal(PyObject_GetAttrString(top.get(), name));
    if (!fn || PyObject_SetAttrString(video.get(), name, fn.get()) < 0) return {};
  }
  if (!SetAll(video.get(), kVideoAll)) return {};
  if (!AddExported(top.get(), "video", video.get())) return {};

  Ref memory = Ref::Steal(PyModule_New("memory"));
  if (!memory) return {};
  for (const ClassEntry& entry : kClasses) {
    if (entry.submodule != Submodule::kMemory) continue;
    if (!AddExported(memory.get(), entry.name, entry.type())) return {};
  }
  if (!SetAll(memory.get(), kMemoryAll)) return {};
  if (!AddExported(top.get(), "memory", memory.get())) return {};

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
    if (PyDict_SetItemString(modules.get(), "velmar.video", video.get()) < 0) PyErr_Clear();
    if (PyDict_SetItemString(modules.get(), "velmar.memory", memory.get()) < 0) PyErr_Clear();
  }
  PyErr_Clear();

  for (const ClassEntry& entry : kClasses) {
    Ref name = Ref::Steal(PyUnicode_FromString(ModuleName(entry.submodule)));
    if (!name || PyObject_SetAttrString(entry.type(), "__module__", name.get()) < 0) {
      PyErr_Clear();
    }
  }

  if (!SetAll(top.get(), kTopLevelAll)) return {};
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
