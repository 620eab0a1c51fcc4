#include "python/video/py_performance.hpp"

#include <string>
#include <unordered_map>
#include <utility>

#include "python/convert.hpp"
#include "python/types.hpp"

namespace velmar::python {

namespace {

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
  auto text = [](const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  };
  switch (field) {
    case kTestName: return text(r.test_name);
    case kVideoFile: return text(r.video_file);
    case kTotalTime: return PyFloat_FromDouble(r.total_time_ms);
    case kExtractionTime: return PyFloat_FromDouble(r.frame_extraction_time_ms);
    case kAnalysisTime: return PyFloat_FromDouble(r.keyframe_analysis_time_ms);
    case kTotalFrames: return PyLong_FromUnsignedLongLong(r.total_frames);
    case kKeyframesExtracted: return PyLong_FromUnsignedLongLong(r.keyframes_extracted);
    case kKeyframeRatio: return PyFloat_FromDouble(r.keyframe_ratio);
    case kProcessingFps: return PyFloat_FromDouble(r.processing_fps);
    case kMaxKeyframes: return PyLong_FromUnsignedLongLong(r.max_keyframes_requested);
    case kOptimizationType: return text(r.optimization_type);
    case kSimdEnabled: return PyBool_FromLong(r.simd_enabled);
    case kThreadsUsed: return PyLong_FromUnsignedLongLong(r.threads_used);
    case kTimestamp: return text(r.timestamp);
  }
  PyErr_SetString(PyExc_AttributeError, "unknown field");
  return nullptr;
}

PyObject* GetField(PyObject* self, void* closure) {
  return FieldValue(PerformanceResultClass::Of(self),
                    static_cast<int>(reinterpret_cast<intptr_t>(closure)));
}

const Args kToDictArgs{{"to_dict", kSelf}};

Ref ToDict(PyObject* self) {
  // The entries go through an unordered map, so callers cannot come to
  // rely on a key order.
  std::unordered_map<std::string, int> fields;
  for (int f = 0; f < kFieldCount; ++f) fields.emplace(kFieldNames[f], f);
  Ref dict = Check(PyDict_New());
  for (const auto& [name, field] : fields) {
    Ref value = Check(FieldValue(PerformanceResultClass::Of(self), field));
    CheckStatus(PyDict_SetItemString(dict.get(), name.c_str(), value.get()));
  }
  return dict;
}

PyMethodDef kMethods[] = {Def<kToDictArgs, ToDict>(), kEndOfMethods};

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

// No constructor: records come only from measured runs.
PerformanceResultClass g_result_class{{
    .name = "velmar.video.PyPerformanceResult",
    .methods = kMethods,
    .getset = kGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
}};

}  // namespace

PyObject* PerformanceResultType() { return PerformanceResultClass::Type(); }

}  // namespace velmar::python
