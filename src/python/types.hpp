#pragma once

#include <Python.h>

// The module-level functions, each defined beside the core it wraps. The
// classes are reached through their NativeType (py_frame.hpp and so on).
namespace velmar::python {

extern PyMethodDef kExtractKeyframesFromVideoDef;  // video/py_pipeline.cpp
extern PyMethodDef kGetSystemInfoDef;              // video/py_system_info.cpp

PyObject* ScanResultType();             // video/py_scan_result.cpp
PyObject* KeyframeType();               // video/py_scan_result.cpp
PyObject* SceneType();                  // video/py_scan_result.cpp
extern PyMethodDef kScanVideoDef;       // video/py_scan.cpp
extern PyMethodDef kSplitVideoDef;      // video/py_split.cpp

}  // namespace velmar::python
