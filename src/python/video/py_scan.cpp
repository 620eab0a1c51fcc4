// velmar.video.scan_video and its result types, ScanResult and Keyframe.
// The scan itself runs with the interpreter lock released; the lock is taken
// back only to check for Ctrl-C and to call the progress callback.

#include <Python.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/lock_release.hpp"
#include "python/types.hpp"
#include "common/interrupt.hpp"
#include "video/frame.hpp"
#include "video/libav/scanner.hpp"

namespace velmar::python {

namespace {

using Clock = std::chrono::steady_clock;

// ---- Result records ------------------------------------------------------------

using KeyframeClass = NativeType<video::ScanKeyframe>;

// The result keeps its lists as the Python objects it hands out, so reading
// r.scores[i] in a loop does not rebuild the list each time.
struct ScanResultRecord {
  Ref keyframes;
  Ref scores;
  Ref times;
  Ref image_errors;
  video::ScanOutcome summary;  // the numbers; its vectors are left empty
  std::optional<double> threshold;
};
using ScanResultClass = NativeType<ScanResultRecord>;

template <auto Field>
PyObject* KeyframeNumber(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(KeyframeClass::Of(self).*Field);
}
template <auto Field>
PyObject* KeyframeFloat(PyObject* self, void*) {
  return PyFloat_FromDouble(KeyframeClass::Of(self).*Field);
}
PyObject* KeyframePath(PyObject* self, void*) {
  const auto& path = KeyframeClass::Of(self).path;
  if (!path) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(path->data(), static_cast<Py_ssize_t>(path->size()));
}

PyObject* KeyframeRepr(PyObject* self) {
  return Boundary([&] {
    const video::ScanKeyframe& k = KeyframeClass::Of(self);
    Ref time = NewFloat(k.time), score = NewFloat(k.score);
    Ref path = Check(KeyframePath(self, nullptr));
    return Check(PyUnicode_FromFormat("Keyframe(frame_number=%llu, time=%R, score=%R, path=%R)",
                                      static_cast<unsigned long long>(k.frame_number), time.get(),
                                      score.get(), path.get()));
  });
}

PyGetSetDef kKeyframeGetSet[] = {
    {"frame_number", KeyframeNumber<&video::ScanKeyframe::frame_number>, nullptr,
     "0-based position of the frame in decoding order", nullptr},
    {"time", KeyframeFloat<&video::ScanKeyframe::time>, nullptr,
     "seconds from the stream's start, from the frame's own timestamp", nullptr},
    {"score", KeyframeFloat<&video::ScanKeyframe::score>, nullptr,
     "mean absolute gray difference to the frame before, 0..255", nullptr},
    {"path", KeyframePath, nullptr, "the image written for this frame, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

KeyframeClass g_keyframe_class{{
    .name = "velmar.video.Keyframe",
    .constructor = {.doc = "A keyframe or scene cut found by scan_video."},
    .getset = kKeyframeGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .repr = KeyframeRepr,
}};

template <Ref ScanResultRecord::*Field>
PyObject* ResultList(PyObject* self, void*) {
  return Ref::Borrow((ScanResultClass::Of(self).*Field).get()).release();
}
template <auto Field>
PyObject* ResultNumber(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(ScanResultClass::Of(self).summary.*Field);
}
template <auto Field>
PyObject* ResultFloat(PyObject* self, void*) {
  return PyFloat_FromDouble(ScanResultClass::Of(self).summary.*Field);
}
PyObject* ResultThreshold(PyObject* self, void*) {
  const auto& threshold = ScanResultClass::Of(self).threshold;
  if (!threshold) Py_RETURN_NONE;
  return PyFloat_FromDouble(*threshold);
}

PyObject* ResultRepr(PyObject* self) {
  return Boundary([&] {
    const ScanResultRecord& r = ScanResultClass::Of(self);
    Ref fps = NewFloat(r.summary.fps), duration = NewFloat(r.summary.duration);
    return Check(PyUnicode_FromFormat(
        "ScanResult(frame_count=%llu, width=%llu, height=%llu, fps=%R, duration=%R, "
        "keyframes=<%zd>, images_written=%llu)",
        static_cast<unsigned long long>(r.summary.frame_count),
        static_cast<unsigned long long>(r.summary.width),
        static_cast<unsigned long long>(r.summary.height), fps.get(), duration.get(),
        PyList_Size(r.keyframes.get()), static_cast<unsigned long long>(r.summary.images_written)));
  });
}

using video::ScanOutcome;
PyGetSetDef kResultGetSet[] = {
    {"keyframes", ResultList<&ScanResultRecord::keyframes>, nullptr,
     "list of Keyframe, in frame order", nullptr},
    {"scores", ResultList<&ScanResultRecord::scores>, nullptr,
     "scores[n]: frame n's score against frame n - 1 (scores[0] is 0.0)", nullptr},
    {"times", ResultList<&ScanResultRecord::times>, nullptr,
     "times[n]: frame n's time in seconds from the stream's start", nullptr},
    {"width", ResultNumber<&ScanOutcome::width>, nullptr, "width in pixels", nullptr},
    {"height", ResultNumber<&ScanOutcome::height>, nullptr, "height in pixels", nullptr},
    {"frame_count", ResultNumber<&ScanOutcome::frame_count>, nullptr, "frames decoded", nullptr},
    {"fps", ResultFloat<&ScanOutcome::fps>, nullptr,
     "the stream's frame rate (0.0 when unknown)", nullptr},
    {"duration", ResultFloat<&ScanOutcome::duration>, nullptr,
     "the stream's duration in seconds (0.0 when unknown)", nullptr},
    {"threshold", ResultThreshold, nullptr, "the cut threshold used, or None in top-k mode",
     nullptr},
    {"decode_time_ms", ResultFloat<&ScanOutcome::decode_time_ms>, nullptr,
     "milliseconds spent demuxing, decoding and converting to gray", nullptr},
    {"score_time_ms", ResultFloat<&ScanOutcome::score_time_ms>, nullptr,
     "milliseconds spent scoring and selecting", nullptr},
    {"write_time_ms", ResultFloat<&ScanOutcome::write_time_ms>, nullptr,
     "milliseconds spent encoding and writing images", nullptr},
    {"total_time_ms", ResultFloat<&ScanOutcome::total_time_ms>, nullptr,
     "milliseconds for the whole scan", nullptr},
    {"images_written", ResultNumber<&ScanOutcome::images_written>, nullptr,
     "number of images written", nullptr},
    {"image_errors", ResultList<&ScanResultRecord::image_errors>, nullptr,
     "one message per image that could not be written", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ScanResultClass g_result_class{{
    .name = "velmar.video.ScanResult",
    .constructor = {.doc = "What scan_video found in one video."},
    .getset = kResultGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .repr = ResultRepr,
}};

Ref WrapOutcome(ScanOutcome&& out, std::optional<double> threshold) {
  Ref keyframes = Check(PyList_New(0));
  for (video::ScanKeyframe& kf : out.keyframes) {
    CheckStatus(PyList_Append(keyframes.get(), KeyframeClass::Wrap(std::move(kf)).get()));
  }
  ScanResultRecord record{std::move(keyframes), NewFloatList(out.scores), NewFloatList(out.times),
                          NewStrList(out.image_errors), {}, threshold};
  out.keyframes = {};
  out.scores = {};
  out.times = {};
  out.image_errors = {};
  record.summary = std::move(out);
  return ScanResultClass::Wrap(std::move(record));
}

// ---- Arguments ---------------------------------------------------------------------

// A str, or an os.PathLike that gives one.
std::string ToFsPath(PyObject* obj, const char* arg) {
  if (PyUnicode_Check(obj)) return ToPath(obj, arg);
  Ref path = Ref::Steal(PyOS_FSPath(obj));
  if (!path) {
    PyErr_Clear();
    ThrowConversionError(obj, arg, "str or os.PathLike");
  }
  if (!PyUnicode_Check(path.get())) ThrowConversionError(path.get(), arg, "str");
  return ToPath(path.get(), arg);
}

std::optional<uint64_t> ToCount(PyObject* obj, const char* arg) { return ToU64(obj, arg); }

std::optional<double> ToThreshold(PyObject* obj, const char* arg) {
  if (!PyFloat_Check(obj) && !PyLong_Check(obj)) ThrowConversionError(obj, arg, "float");
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  if (!std::isfinite(v) || v <= 0.0) {
    Ref shown = Check(PyObject_Repr(obj));
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': must be a finite score above 0 (scores run from 0 to 255), "
                 "not %U",
                 arg, shown.get());
    throw PythonErrorSet{};
  }
  return v;
}

std::optional<std::string> ToOutputDir(PyObject* obj, const char* arg) {
  std::string dir = ToFsPath(obj, arg);
  if (dir.empty()) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must not be empty", arg);
    throw PythonErrorSet{};
  }
  return dir;
}

video::ImageFormat ToImageFormat(PyObject* obj, const char* arg) {
  const std::string name = ToString(obj, arg);
  if (name == "jpg" || name == "jpeg") return video::ImageFormat::kJpeg;
  if (name == "png") return video::ImageFormat::kPng;
  PyErr_Format(PyExc_ValueError, "argument '%s': must be 'jpg' or 'png', not %R", arg, obj);
  throw PythonErrorSet{};
}

uint64_t ToDownscale(PyObject* obj, const char* arg) {
  const uint64_t factor = ToU64(obj, arg);
  if (factor == 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must be at least 1", arg);
    throw PythonErrorSet{};
  }
  return factor;
}

PyObject* ToCallable(PyObject* obj, const char* arg) {
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not callable", arg,
                 TypeName(obj).c_str());
    throw PythonErrorSet{};
  }
  return obj;
}

// ---- Running without the interpreter lock -----------------------------------

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// Takes the interpreter lock back between frames to check for Ctrl-C and,
// at most ten times a second, to call the progress callback.
class ProgressObserver : public video::ScanObserver {
 public:
  explicit ProgressObserver(PyObject* progress) : progress_(progress) {}

  // The lock is released by `released` whenever the scan calls Poll.
  void SetReleased(ReleasedLock* released) { released_ = released; }

  bool Poll(uint64_t done, uint64_t expected) override {
    LockHeld held(*released_);
    CheckInterrupt();  // Ctrl-C: throws Interrupted with KeyboardInterrupt set
    if (progress_ == nullptr || Clock::now() - last_call_ < kProgressInterval) return true;
    last_call_ = Clock::now();
    return Report(done, expected);
  }

  // Calls progress(done, expected) with the lock held; false if it raised.
  bool Report(uint64_t done, uint64_t expected) {
    if (progress_ == nullptr) return true;
    Ref result = Ref::Steal(PyObject_CallFunction(progress_, "KK",
                                                  static_cast<unsigned long long>(done),
                                                  static_cast<unsigned long long>(expected)));
    return static_cast<bool>(result);
  }

 private:
  PyObject* progress_;
  ReleasedLock* released_ = nullptr;
  Clock::time_point last_call_ = Clock::now();
};

constexpr const char kScanSummary[] =
    "Find keyframes or scene cuts of a video in one pass, in process.\n\n"
    "Decodes the first video stream (not cover art) with FFmpeg's libraries on all\n"
    "cores and scores every frame against the one before it: the mean absolute\n"
    "difference of their 8-bit gray pictures, 0..255. On a constant-frame-rate video\n"
    "these are the frames and scores extract_frames gives; a variable-frame-rate\n"
    "video yields the stream's own frames, each with its own timestamp.\n\n"
    "Modes:\n"
    "  max_keyframes=k alone: the k highest-scoring frames (frames tying the k-th\n"
    "    score are all kept), exactly extract_keyframes(extract_frames(v), k).\n"
    "  threshold=t alone: a cut wherever the score is at least t and at least\n"
    "    min_scene_len frames have passed since the last cut (or the first frame).\n"
    "  both: the k highest of those cuts.\n"
    "  neither: cuts at the default threshold, 25.0 (ScanResult.threshold says so).\n\n"
    "With output_dir, images keyframe_<frame_number>.jpg (or .png) are written\n"
    "from the decoded colour frames: for the best min(k, max_save) keyframes with\n"
    "max_keyframes, else for the first max_save cuts. Each is written atomically;\n"
    "one that fails keeps Keyframe.path None and is listed in\n"
    "ScanResult.image_errors. downscale=d scores pictures shrunk by averaging d x d\n"
    "blocks: faster on large videos, but the scores then differ from extract_frames'.\n"
    "progress(frames_done, frames_expected) is called with the interpreter lock\n"
    "held, at most ten times a second while decoding, and once at the end; an\n"
    "exception it raises ends the scan. The interpreter lock is released while\n"
    "decoding and scoring; Ctrl-C raises KeyboardInterrupt.\n\n"
    "Errors: RuntimeError('Scan failed: <reason>') for a missing file, a file that\n"
    "is not a video FFmpeg can open, no video stream, a corrupt stream, or an\n"
    "output directory that cannot be written.";

// The defaults as the signature shows them, from the core's own values.
const std::string kMinSceneLenShown = std::to_string(video::kDefaultMinSceneLen);
const std::string kMaxSaveShown = std::to_string(video::DEFAULT_MAX_SAVE);

const Args kScanArgs{
    {"scan_video", kNoSelf, "Scan failed: ", /*positional=*/2, kScanSummary},
    Required<ToFsPath>{"video_path"},
    Optional<ToCount>{"max_keyframes", std::nullopt},
    Optional<ToThreshold>{"threshold", std::nullopt},
    Optional<ToU64>{"min_scene_len", video::kDefaultMinSceneLen, kMinSceneLenShown.c_str()},
    Optional<ToOutputDir>{"output_dir", std::nullopt},
    Optional<ToImageFormat>{"image_format", video::ImageFormat::kJpeg, "'jpg'"},
    Optional<ToU64>{"max_save", video::DEFAULT_MAX_SAVE, kMaxSaveShown.c_str()},
    Optional<ToDownscale>{"downscale", 1, "1"},
    Optional<ToCallable>{"progress", nullptr},
};

Ref ScanVideo(PyObject*, std::string video_path, std::optional<uint64_t> max_keyframes,
              std::optional<double> threshold, uint64_t min_scene_len,
              std::optional<std::string> output_dir, video::ImageFormat image_format,
              uint64_t max_save, uint64_t downscale, PyObject* progress) {
  if (KeyframeClass::Type() == nullptr || ScanResultClass::Type() == nullptr) {
    throw PythonErrorSet{};
  }
  video::ScanOptions options{max_keyframes, threshold,  min_scene_len, std::move(output_dir),
                             image_format,  max_save,   downscale};
  Ref keep_progress = Ref::Borrow(progress);  // alive while the lock is released

  ProgressObserver observer(progress);
  std::optional<video::VideoResult<ScanOutcome>> result;
  {
    ReleasedLock released;
    observer.SetReleased(&released);
    result.emplace(video::ScanVideo(video_path, options, &observer));
  }

  ScanOutcome outcome = Unwrap(std::move(*result));
  if (!observer.Report(outcome.frame_count, outcome.frame_count)) throw PythonErrorSet{};
  std::optional<double> used;
  if (!max_keyframes || threshold) used = threshold.value_or(video::kDefaultCutThreshold);
  return WrapOutcome(std::move(outcome), used);
}

}  // namespace

PyObject* ScanResultType() { return ScanResultClass::Type(); }
PyObject* KeyframeType() { return KeyframeClass::Type(); }

PyMethodDef kScanVideoDef = Def<kScanArgs, ScanVideo>();

}  // namespace velmar::python
