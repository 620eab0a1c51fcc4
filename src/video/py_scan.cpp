// velmar.video.scan_video and its result types, ScanResult and Keyframe.
// The scan itself runs with the interpreter lock released; the lock is taken
// back only to check for Ctrl-C and to call the progress callback.

#include <Python.h>
#include <structmember.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "video/frame.hpp"
#include "video/scanner.hpp"

namespace velmar::python {

namespace {

using Clock = std::chrono::steady_clock;

// ---- Read-only record types ------------------------------------------------
// A record holds one Python object per field, set once when it is made.

struct RecordSpec {
  const char* qualified_name;
  const char* doc;
  std::vector<const char*> fields;
  std::vector<const char*> field_docs;
  std::vector<const char*> repr_fields;  // the fields repr shows
  PyObject* type = nullptr;
  std::vector<PyMemberDef> members;
};

constexpr size_t kRecordHeader = sizeof(PyObject);

PyObject** FieldsOf(PyObject* self) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kRecordHeader);
}

RecordSpec g_keyframe_spec{
    "velmar.video.Keyframe",
    "A keyframe or scene cut found by scan_video.",
    {"frame_number", "time", "score", "path"},
    {"0-based position of the frame in decoding order",
     "seconds from the stream's start, from the frame's own timestamp",
     "mean absolute gray difference to the frame before (0..255)",
     "the image written for this frame, or None"},
    {"frame_number", "time", "score", "path"},
    nullptr,
    {},
};

RecordSpec g_result_spec{
    "velmar.video.ScanResult",
    "What scan_video found in one video.",
    {"keyframes", "scores", "times", "width", "height", "frame_count", "fps", "duration",
     "threshold", "decode_time_ms", "score_time_ms", "write_time_ms", "total_time_ms",
     "images_written", "image_errors"},
    {"list of Keyframe, in frame order",
     "scores[n]: frame n's score against frame n - 1 (scores[0] is 0.0)",
     "times[n]: frame n's time in seconds from the stream's start",
     "width of the video in pixels", "height of the video in pixels",
     "number of frames decoded", "the stream's frame rate (0.0 when unknown)",
     "the stream's duration in seconds (0.0 when unknown)",
     "the cut threshold used, or None in top-k mode",
     "milliseconds spent demuxing, decoding and converting to gray",
     "milliseconds spent scoring and selecting", "milliseconds spent writing images",
     "milliseconds for the whole scan", "number of images written",
     "one message per image that could not be written"},
    {"frame_count", "width", "height", "fps", "duration", "images_written"},
    nullptr,
    {},
};

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  const RecordSpec& spec =
      reinterpret_cast<PyObject*>(type) == g_keyframe_spec.type ? g_keyframe_spec : g_result_spec;
  for (size_t i = 0; i < spec.fields.size(); ++i) Py_XDECREF(FieldsOf(self)[i]);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* RecordRepr(PyObject* self) {
  const bool is_keyframe = reinterpret_cast<PyObject*>(Py_TYPE(self)) == g_keyframe_spec.type;
  const RecordSpec& spec = is_keyframe ? g_keyframe_spec : g_result_spec;
  Ref parts = Ref::Steal(PyList_New(0));
  if (!parts) return nullptr;
  for (const char* name : spec.repr_fields) {
    Ref value = Ref::Steal(PyObject_GetAttrString(self, name));
    if (!value) return nullptr;
    Ref part = Ref::Steal(PyUnicode_FromFormat("%s=%R", name, value.get()));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  if (!is_keyframe) {
    Ref keyframes = Ref::Steal(PyObject_GetAttrString(self, "keyframes"));
    if (!keyframes) return nullptr;
    Ref part = Ref::Steal(PyUnicode_FromFormat("keyframes=<%zd>", PyObject_Size(keyframes.get())));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  Ref sep = Ref::Steal(PyUnicode_FromString(", "));
  if (!sep) return nullptr;
  Ref body = Ref::Steal(PyUnicode_Join(sep.get(), parts.get()));
  if (!body) return nullptr;
  const char* short_name = is_keyframe ? "Keyframe" : "ScanResult";
  return PyUnicode_FromFormat("%s(%U)", short_name, body.get());
}

PyObject* RecordType(RecordSpec& spec) {
  if (spec.type != nullptr) return spec.type;
  spec.members.clear();
  for (size_t i = 0; i < spec.fields.size(); ++i) {
    spec.members.push_back(PyMemberDef{spec.fields[i], T_OBJECT_EX,
                                       static_cast<Py_ssize_t>(kRecordHeader + i * sizeof(PyObject*)),
                                       READONLY, spec.field_docs[i]});
  }
  spec.members.push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(RecordDealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(RecordRepr)},
      {Py_tp_members, spec.members.data()},
      {Py_tp_doc, const_cast<char*>(spec.doc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      spec.qualified_name,
      static_cast<int>(kRecordHeader + spec.fields.size() * sizeof(PyObject*)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  spec.type = PyType_FromSpec(&type_spec);
  return spec.type;
}

// Makes a record from new references (stolen, also on failure).
PyObject* NewRecord(RecordSpec& spec, std::vector<Ref> values) {
  PyObject* type = RecordType(spec);
  if (type == nullptr) return nullptr;
  for (const Ref& v : values) {
    if (!v) return nullptr;
  }
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) FieldsOf(self)[i] = values[i].release();
  return self;
}

Ref NewFloat(double v) { return Ref::Steal(PyFloat_FromDouble(v)); }

Ref FloatList(const std::vector<double>& values) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return {};
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

Ref OptStr(const std::optional<std::string>& s) {
  if (!s) return Ref::Borrow(Py_None);
  return NewStr(*s);
}

PyObject* WrapOutcome(const video::ScanOutcome& out, std::optional<double> threshold) {
  Ref keyframes = Ref::Steal(PyList_New(0));
  if (!keyframes) return nullptr;
  for (const video::ScanKeyframe& kf : out.keyframes) {
    std::vector<Ref> fields;
    fields.push_back(NewInt(kf.frame_number));
    fields.push_back(NewFloat(kf.time));
    fields.push_back(NewFloat(kf.score));
    fields.push_back(OptStr(kf.path));
    Ref record = Ref::Steal(NewRecord(g_keyframe_spec, std::move(fields)));
    if (!record || PyList_Append(keyframes.get(), record.get()) < 0) return nullptr;
  }
  Ref errors = Ref::Steal(PyList_New(0));
  if (!errors) return nullptr;
  for (const std::string& e : out.image_errors) {
    Ref text = NewStr(e);
    if (!text || PyList_Append(errors.get(), text.get()) < 0) return nullptr;
  }
  std::vector<Ref> fields;
  fields.push_back(std::move(keyframes));
  fields.push_back(FloatList(out.scores));
  fields.push_back(FloatList(out.times));
  fields.push_back(NewInt(out.width));
  fields.push_back(NewInt(out.height));
  fields.push_back(NewInt(out.frame_count));
  fields.push_back(NewFloat(out.fps));
  fields.push_back(NewFloat(out.duration));
  fields.push_back(threshold ? NewFloat(*threshold) : Ref::Borrow(Py_None));
  fields.push_back(NewFloat(out.decode_time_ms));
  fields.push_back(NewFloat(out.score_time_ms));
  fields.push_back(NewFloat(out.write_time_ms));
  fields.push_back(NewFloat(out.total_time_ms));
  fields.push_back(NewInt(out.images_written));
  fields.push_back(std::move(errors));
  return NewRecord(g_result_spec, std::move(fields));
}

// ---- Arguments ---------------------------------------------------------------

// A str or an os.PathLike giving a str.
bool ToFsPath(PyObject* obj, const char* arg, std::string* out) {
  if (PyUnicode_Check(obj)) return ToPath(obj, arg, out);
  Ref path = Ref::Steal(PyOS_FSPath(obj));
  if (!path) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike, not '%s'", arg,
                 TypeName(obj).c_str());
    return false;
  }
  if (!PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a bytes path is not supported", arg);
    return false;
  }
  return ToPath(path.get(), arg, out);
}

bool ToThreshold(PyObject* obj, std::optional<double>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyFloat_Check(obj) && !PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'threshold': must be a real number, not '%s'",
                 TypeName(obj).c_str());
    return false;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(v) || v <= 0.0) {
    Ref shown = Ref::Steal(PyObject_Repr(obj));
    PyErr_Format(PyExc_ValueError,
                 "argument 'threshold': must be a finite number above 0 (0..255 scale), not %S",
                 shown ? shown.get() : obj);
    return false;
  }
  *out = v;
  return true;
}

bool ToImageFormat(PyObject* obj, video::ImageFormat* out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string name;
  if (!ToString(obj, "image_format", &name)) return false;
  if (name == "jpg" || name == "jpeg") {
    *out = video::ImageFormat::kJpeg;
  } else if (name == "png") {
    *out = video::ImageFormat::kPng;
  } else {
    PyErr_Format(PyExc_ValueError, "argument 'image_format': must be 'jpg' or 'png', not %R", obj);
    return false;
  }
  return true;
}

struct ScanArgs {
  std::string video_path;
  video::ScanOptions options;
  PyObject* progress = nullptr;  // borrowed from the call's arguments
};

bool ParseScanArgs(PyObject* args, PyObject* kwargs, ScanArgs* out) {
  const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
  if (positional > 2) {
    PyErr_Format(PyExc_TypeError,
                 "scan_video() takes from 1 to 2 positional arguments but %zd were given",
                 positional);
    return false;
  }
  PyObject* a[10];
  if (!BindArgs("scan_video", args, kwargs,
                {"video_path", "max_keyframes", "threshold", "min_scene_len", "output_dir",
                 "image_format", "max_save", "downscale", "progress"},
                1, a)) {
    return false;
  }
  video::ScanOptions& o = out->options;
  if (!ToFsPath(a[0], "video_path", &out->video_path)) return false;
  if (a[1] != nullptr && a[1] != Py_None) {
    uint64_t k = 0;
    if (!ToU64(a[1], "max_keyframes", &k)) return false;
    o.max_keyframes = k;
  }
  if (!ToThreshold(a[2], &o.threshold) ||
      !ToU64Or(a[3], "min_scene_len", video::kDefaultMinSceneLen, &o.min_scene_len)) {
    return false;
  }
  if (a[4] != nullptr && a[4] != Py_None) {
    std::string dir;
    if (!ToFsPath(a[4], "output_dir", &dir)) return false;
    if (dir.empty()) {
      PyErr_SetString(PyExc_ValueError, "argument 'output_dir': must not be empty");
      return false;
    }
    o.output_dir = std::move(dir);
  }
  if (!ToImageFormat(a[5], &o.image_format) ||
      !ToU64Or(a[6], "max_save", video::DEFAULT_MAX_SAVE, &o.max_save) ||
      !ToU64Or(a[7], "downscale", 1, &o.downscale)) {
    return false;
  }
  if (o.downscale == 0) {
    PyErr_SetString(PyExc_ValueError, "argument 'downscale': must be at least 1");
    return false;
  }
  if (a[8] != nullptr && a[8] != Py_None) {
    if (!PyCallable_Check(a[8])) {
      PyErr_Format(PyExc_TypeError, "argument 'progress': '%s' object is not callable",
                   TypeName(a[8]).c_str());
      return false;
    }
    out->progress = a[8];
  }
  return true;
}

// ---- Running without the interpreter lock -----------------------------------

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// Takes the interpreter lock back between frames to run Python's signal
// handlers (Ctrl-C) and, at most ten times a second, the progress callback.
class ReleasedLockObserver : public video::ScanObserver {
 public:
  explicit ReleasedLockObserver(PyObject* progress) : progress_(progress) {}

  void Release() { state_ = PyEval_SaveThread(); }
  void Reacquire() {
    if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }

  bool Poll(uint64_t done, uint64_t expected) override {
    Reacquire();
    bool go_on = PyErr_CheckSignals() == 0;
    if (go_on && progress_ != nullptr && Clock::now() - last_call_ >= kProgressInterval) {
      go_on = Report(done, expected);
      last_call_ = Clock::now();
    }
    Release();
    return go_on;
  }

  // Called with the lock held.
  bool Report(uint64_t done, uint64_t expected) {
    if (progress_ == nullptr) return true;
    Ref result = Ref::Steal(PyObject_CallFunction(progress_, "KK",
                                                  static_cast<unsigned long long>(done),
                                                  static_cast<unsigned long long>(expected)));
    return static_cast<bool>(result);
  }

 private:
  PyObject* progress_;
  PyThreadState* state_ = nullptr;
  Clock::time_point last_call_ = Clock::now();
};

PyObject* ScanVideo(PyObject*, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    ScanArgs parsed;
    if (!ParseScanArgs(args, kwargs, &parsed)) return nullptr;
    if (RecordType(g_keyframe_spec) == nullptr || RecordType(g_result_spec) == nullptr) {
      return nullptr;
    }
    Ref progress = Ref::Borrow(parsed.progress);  // kept alive while the lock is released

    ReleasedLockObserver observer(parsed.progress);
    std::optional<video::VideoResult<video::ScanOutcome>> result;
    std::exception_ptr failure;
    observer.Release();
    try {
      result.emplace(video::ScanVideo(parsed.video_path, parsed.options, &observer));
    } catch (...) {
      failure = std::current_exception();
    }
    observer.Reacquire();
    if (failure) std::rethrow_exception(failure);  // the boundary translates it

    if (!result->has_value()) return RaiseRuntimeError("Scan failed: ", result->error().message);
    const video::ScanOutcome& outcome = **result;
    if (!observer.Report(outcome.frame_count, outcome.frame_count)) return nullptr;
    std::optional<double> threshold;
    if (!parsed.options.max_keyframes || parsed.options.threshold) {
      threshold = parsed.options.threshold.value_or(video::kDefaultScanThreshold);
    }
    return WrapOutcome(outcome, threshold);
  });
}

}  // namespace

PyObject* ScanResultType() { return RecordType(g_result_spec); }
PyObject* KeyframeType() { return RecordType(g_keyframe_spec); }

PyMethodDef kScanVideoDef = {
    "scan_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ScanVideo)),
    METH_VARARGS | METH_KEYWORDS,
    "scan_video(video_path, max_keyframes=None, *, threshold=None, min_scene_len=15, "
    "output_dir=None, image_format='jpg', max_save=50, downscale=1, progress=None)\n--\n\n"
    "Find keyframes or scene cuts of a video in one pass, in process.\n\n"
    "Decodes the first video stream (not cover art) with FFmpeg's libraries on all\n"
    "cores and scores every frame against the one before it: the mean absolute\n"
    "difference of their 8-bit gray pictures, 0..255, the same numbers and frames\n"
    "as extract_frames gives on a constant-frame-rate video. Variable-frame-rate\n"
    "videos yield the stream's own frames, each with its own timestamp.\n\n"
    "Modes:\n"
    "  max_keyframes=k alone: the k highest-scoring frames (frames tying the k-th\n"
    "    score are all kept), exactly extract_keyframes(extract_frames(v), k).\n"
    "  threshold=t alone: a cut wherever the score is at least t and at least\n"
    "    min_scene_len frames have passed since the last cut (or the start).\n"
    "  both: the k highest of those cuts.\n"
    "  neither: cuts at the default threshold, 25.0 (ScanResult.threshold says so).\n\n"
    "With output_dir, images keyframe_<frame_number>.jpg (or .png) are written\n"
    "straight from the decoded colour frames: the best min(k, max_save) keyframes\n"
    "in the top-k modes, the first max_save cuts in threshold mode. Each file is\n"
    "written atomically; a failed image leaves its Keyframe.path None and is listed\n"
    "in ScanResult.image_errors. downscale=d scores pictures shrunk by averaging\n"
    "d x d blocks: faster on large videos, but the scores then differ from\n"
    "extract_frames'. progress(frames_done, frames_expected) is called with the\n"
    "interpreter lock held, at most ten times a second while decoding, and once at\n"
    "the end; an exception it raises ends the scan. The interpreter lock is\n"
    "released while decoding and scoring; Ctrl-C raises KeyboardInterrupt.\n\n"
    "Errors: RuntimeError('Scan failed: <reason>') for a missing file, a file that\n"
    "is not a video FFmpeg can open, no video stream, a corrupt stream, or an\n"
    "output directory that cannot be written."};

}  // namespace velmar::python
