#pragma once

#include <Python.h>

// The Python-visible classes and functions, each defined beside the core it
// wraps. Every type getter creates its type object on first use and returns
// a borrowed reference (null with an error set if it cannot be made).
namespace velmar::python {

PyObject* VideoFrameType();             // video/py_frame.cpp
PyObject* PerformanceResultType();      // video/py_performance.cpp
PyObject* VideoKeyframeExtractorType(); // video/py_extractor.cpp
PyObject* MetadataIndexType();          // memory/py_metadata_index.cpp

extern PyMethodDef kExtractKeyframesFromVideoDef;  // video/py_pipeline.cpp
extern PyMethodDef kGetSystemInfoDef;              // video/py_system_info.cpp

PyObject* ScanResultType();             // video/py_scan.cpp
PyObject* KeyframeType();               // video/py_scan.cpp
extern PyMethodDef kScanVideoDef;       // video/py_scan.cpp

}  // namespace velmar::python
