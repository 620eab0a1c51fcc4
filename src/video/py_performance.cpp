#include "video/py_performance.hpp"

#include <string>
#include <unordered_map>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace velmar::python {

namespace {

struct ResultObject {
  PyObject_HEAD
  video::PerformanceResult* record;
};

const video::PerformanceResult& RecordOf(PyObject* self) {
  return *reinterpret_cast<ResultObject*>(self)->record;
}

enum Field : int {
  kTestName, kVideoFile, kTotalTime, kExtractionTime, kAnalysisTime, kTotalFrames,
  kKeyframesExtracted, kKeyframeRatio, kProcessingFps, kMaxKeyframes, kOptimizationType,
  kSimdEnabled, kThreadsUsed, kTimestamp, kFieldCount,
};

const char* const kFieldNames[kFieldCount] = {
    "test_name", "video_file", "total_time_ms", "frame_extraction_time_ms",
    "keyframe_analysis_time_ms", "total_frames", "keyframes_extracted", "keyframe_ratio",
    "processing_fps", "max_keyframes_requested", "optimization_type", "simd_enabled",
    "threads_used", "timestamp",
};

PyObject* FieldValue(const video::PerformanceResult& r, int field) {
  switch (field) {
    case kTestName: return NewStr(r.test_name).release();
    case kVideoFile: return NewStr(r.video_file).release();
    case kTotalTime: return PyFloat_FromDouble(r.total_time_ms);
    case kExtractionTime: return PyFloat_FromDouble(r.frame_extraction_time_ms);
    case kAnalysisTime: return PyFloat_FromDouble(r.keyframe_analysis_time_ms);
    case kTotalFrames: return PyLong_FromUnsignedLongLong(r.total_frames);
    case kKeyframesExtracted: return PyLong_FromUnsignedLongLong(r.keyframes_extracted);
    case kKeyframeRatio: return PyFloat_FromDouble(r.keyframe_ratio);
    case kProcessingFps: return PyFloat_FromDouble(r.processing_fps);
    case kMaxKeyframes: return PyLong_FromUnsignedLongLong(r.max_keyframes_requested);
    case kOptimizationType: return NewStr(r.optimization_type).release();
    case kSimdEnabled: return PyBool_FromLong(r.simd_enabled);
    case kThreadsUsed: return PyLong_FromUnsignedLongLong(r.threads_used);
    case kTimestamp: return NewStr(r.timestamp).release();
  }
  PyErr_SetString(PyExc_AttributeError, "unknown field");
  return nullptr;
}

PyObject* GetField(PyObject* self, void* closure) {
  return FieldValue(RecordOf(self), static_cast<int>(reinterpret_cast<intptr_t>(closure)));
}

PyObject* ToDict(PyObject* self, PyObject*) {
  return Boundary([&]() -> PyObject* {
    // The entries go through an unordered map, so callers cannot come to
    // rely on a key order.
    std::unordered_map<std::string, int> fields;
    for (int f = 0; f < kFieldCount; ++f) fields.emplace(kFieldNames[f], f);
    Ref dict = Ref::Steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, field] : fields) {
      Ref value = Ref::Steal(FieldValue(RecordOf(self), field));
      if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) {
        return nullptr;
      }
    }
    return dict.release();
  });
}

void ResultDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ResultObject*>(self)->record;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"to_dict", ToDict, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define VELMAR_FIELD(index) \
  {kFieldNames[index], GetField, nullptr, nullptr, reinterpret_cast<void*>(intptr_t{index})}
PyGetSetDef kGetSet[] = {
    VELMAR_FIELD(kTestName),         VELMAR_FIELD(kVideoFile),
    VELMAR_FIELD(kTotalTime),        VELMAR_FIELD(kExtractionTime),
    VELMAR_FIELD(kAnalysisTime),     VELMAR_FIELD(kTotalFrames),
    VELMAR_FIELD(kKeyframesExtracted), VELMAR_FIELD(kKeyframeRatio),
    VELMAR_FIELD(kProcessingFps),    VELMAR_FIELD(kMaxKeyframes),
    VELMAR_FIELD(kOptimizationType), VELMAR_FIELD(kSimdEnabled),
    VELMAR_FIELD(kThreadsUsed),      VELMAR_FIELD(kTimestamp),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VELMAR_FIELD

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ResultDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// No constructor: records come only from measured runs.
PyType_Spec kSpec = {
    "velmar.video.PyPerformanceResult",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyObject* PerformanceResultType() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyObject* WrapPerformanceResult(video::PerformanceResult&& record) {
  PyObject* type = PerformanceResultType();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<ResultObject*>(self)->record = new video::PerformanceResult(std::move(record));
  return self;
}

}  // namespace velmar::python
