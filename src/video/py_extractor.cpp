#include "video/py_extractor.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "video/cpu_features.hpp"
#include "video/ffmpeg.hpp"
#include "video/frame.hpp"
#include "video/keyframes.hpp"
#include "video/py_frame.hpp"
#include "video/py_pipeline.hpp"

namespace velmar::python {

namespace {

struct ExtractorObject {
  PyObject_HEAD
  ExtractorSettings* settings;
};

ExtractorObject* AsExtractor(PyObject* self) { return reinterpret_cast<ExtractorObject*>(self); }

PyObject* ExtractorNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[3];
    if (!BindArgs("VideoKeyframeExtractor", args, kwargs, {"ffmpeg_path", "threads", "verbose"}, 0,
                  a)) {
      return nullptr;
    }
    std::string ffmpeg_path = "ffmpeg";
    uint64_t threads = 0;
    bool verbose = false;
    // None is refused for all three: each must be of its own type when given.
    if ((a[0] != nullptr && !ToPath(a[0], "ffmpeg_path", &ffmpeg_path)) ||
        (a[1] != nullptr && !ToU64(a[1], "threads", &threads)) ||
        (a[2] != nullptr && !ToBool(a[2], "verbose", &verbose))) {
      return nullptr;
    }
    auto settings =
        std::make_unique<ExtractorSettings>(MakeExtractorSettings(std::move(ffmpeg_path), threads,
                                                                  verbose));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    AsExtractor(self)->settings = settings.release();
    return self;
  });
}

void ExtractorDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete AsExtractor(self)->settings;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* ExtractFrames(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[2];
    if (!BindArgs("extract_frames", args, kwargs, {"video_path", "max_frames"}, 1, a)) {
      return nullptr;
    }
    std::string video_path;
    uint64_t max_frames = 0;  // checked, then unused: the whole video is decoded
    if (!ToPath(a[0], "video_path", &video_path) ||
        !ToU64Or(a[1], "max_frames", 0, &max_frames)) {
      return nullptr;
    }
    const ExtractorSettings& settings = ExtractorSettingsOf(self);
    auto result = video::extract_all_frames(video_path, settings.ffmpeg_path, settings.verbose);
    if (!result) return RaiseRuntimeError("Frame extraction failed: ", result.error().message);
    std::vector<video::VideoFrame>& frames = result->frames;
    Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < frames.size(); ++i) {
      PyObject* frame = WrapFrame(std::move(frames[i]));
      if (frame == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), frame);  // steals
    }
    frames.clear();
    Ref width = NewInt(result->width);
    Ref height = NewInt(result->height);
    if (!width || !height) return nullptr;
    return PyTuple_Pack(3, list.get(), width.get(), height.get());
  });
}

PyObject* ExtractKeyframes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[4];
    if (!BindArgs("extract_keyframes", args, kwargs,
                  {"frames", "max_keyframes", "use_simd", "block_size"}, 2, a)) {
      return nullptr;
    }
    if (!CheckSequence(a[0], "frames")) return nullptr;
    Py_ssize_t count = PySequence_Size(a[0]);
    if (count < 0) return nullptr;
    std::vector<video::VideoFrame> frames;
    frames.reserve(static_cast<size_t>(count));
    // The length is re-read each step: a sequence may change while it is read.
    for (Py_ssize_t i = 0; i < PySequence_Size(a[0]); ++i) {
      Ref item = Ref::Steal(PySequence_GetItem(a[0], i));
      if (!item) return nullptr;
      const video::VideoFrame* frame = FrameOf(item.get());
      if (frame == nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'frames': '%s' object cannot be converted to 'PyVideoFrame'",
                     TypeName(item.get()).c_str());
        return nullptr;
      }
      frames.push_back(*frame);
    }
    if (PyErr_Occurred()) return nullptr;
    uint64_t max_keyframes = 0, block_size = 0;
    bool use_simd = true;
    if (!ToU64(a[1], "max_keyframes", &max_keyframes) ||
        !ToBoolOr(a[2], "use_simd", true, &use_simd) ||
        !ToU64Or(a[3], "block_size", video::DEFAULT_BLOCK_SIZE, &block_size)) {
      return nullptr;
    }
    std::vector<uint64_t> positions =
        video::select_keyframes(frames, max_keyframes, use_simd, block_size,
                                ExtractorSettingsOf(self).verbose);
    Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < positions.size(); ++i) {
      Ref value = NewInt(positions[i]);
      if (!value) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return list.release();
  });
}

PyObject* SaveKeyframes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[4];
    if (!BindArgs("save_keyframes", args, kwargs,
                  {"video_path", "keyframe_indices", "output_dir", "max_save"}, 3, a)) {
      return nullptr;
    }
    std::string video_path, output_dir;
    std::vector<uint64_t> keyframes;
    uint64_t max_save = 0;
    if (!ToPath(a[0], "video_path", &video_path) ||
        !ToU64Vector(a[1], "keyframe_indices", &keyframes) ||
        !ToPath(a[2], "output_dir", &output_dir) ||
        !ToU64Or(a[3], "max_save", video::DEFAULT_MAX_SAVE, &max_save)) {
      return nullptr;
    }
    const ExtractorSettings& settings = ExtractorSettingsOf(self);
    auto saved = video::save_keyframe_images(
        video_path, keyframes, output_dir,
        video::SaveOptions{settings.ffmpeg_path, max_save, settings.verbose});
    if (!saved) return RaiseRuntimeError("Save keyframes failed: ", saved.error().message);
    return NewInt(*saved).release();
  });
}

PyObject* GetCpuFeatures(PyObject*, PyObject*) {
  return Boundary([&]() -> PyObject* {
    const video::CpuFeatures& features = video::GetCpuFeatures();
    // Collected in a hash map first, so callers cannot come to rely on the
    // order of the keys.
    const std::unordered_map<std::string, bool> entries = {
        {"avx2", features.avx2},     {"sse2", true},    {"sse4_1", features.sse4_1},
        {"sse4_2", features.sse4_2}, {"fma", features.fma},
    };
    Ref dict = Ref::Steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : entries) {
      if (PyDict_SetItemString(dict.get(), key.c_str(), value ? Py_True : Py_False) < 0) {
        return nullptr;
      }
    }
    return dict.release();
  });
}

PyObject* GetThreadCount(PyObject* self, PyObject*) {
  return NewInt(ExtractorSettingsOf(self).threads).release();
}

PyObject* GetActualThreadCount(PyObject*, PyObject*) {
  return Boundary([&]() -> PyObject* { return NewInt(ActualThreadCount()).release(); });
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"extract_frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtractFrames)),
     kArgs, "extract_frames($self, video_path, max_frames=None)\n--\n\n"},
    {"extract_keyframes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtractKeyframes)), kArgs,
     "extract_keyframes($self, frames, max_keyframes, use_simd=None, block_size=None)\n--\n\n"},
    {"save_keyframes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(SaveKeyframes)),
     kArgs, "save_keyframes($self, video_path, keyframe_indices, output_dir, max_save=None)\n--\n\n"},
    // benchmark and process_video live in py_pipeline.cpp.
    {"benchmark", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtractorBenchmark)),
     kArgs,
     "benchmark($self, video_path, max_keyframes, test_name, use_simd=None, block_size=None)"
     "\n--\n\n"},
    {"process_video",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtractorProcessVideo)), kArgs,
     "process_video($self, video_path, output_dir, max_keyframes, max_save=None, use_simd=None, "
     "block_size=None)\n--\n\n"},
    {"get_cpu_features", GetCpuFeatures, METH_NOARGS, "get_cpu_features($self)\n--\n\n"},
    {"get_thread_count", GetThreadCount, METH_NOARGS, "get_thread_count($self)\n--\n\n"},
    {"get_configured_threads", GetThreadCount, METH_NOARGS,
     "get_configured_threads($self)\n--\n\n"},
    {"get_actual_thread_count", GetActualThreadCount, METH_NOARGS,
     "get_actual_thread_count($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ExtractorNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ExtractorDealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc,
     const_cast<char*>("VideoKeyframeExtractor(ffmpeg_path=..., threads=0, verbose=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmar.video.VideoKeyframeExtractor",
    sizeof(ExtractorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

ExtractorSettings MakeExtractorSettings(std::string ffmpeg_path, uint64_t threads, bool verbose) {
  if (threads > 0) {
    // A pool that already exists keeps its size; a failure to start the
    // workers is dropped too. The instance records the request either way.
    ConfigureWorkerPool(threads);
  } else {
    threads = ActualThreadCount();
  }
  return ExtractorSettings{std::move(ffmpeg_path), threads, verbose};
}

const ExtractorSettings& ExtractorSettingsOf(PyObject* self) {
  return *AsExtractor(self)->settings;
}

PyObject* VideoKeyframeExtractorType() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

}  // namespace velmar::python
