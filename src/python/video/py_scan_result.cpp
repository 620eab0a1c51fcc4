// The records scan_video returns: ScanResult, Keyframe and Scene.

#include "python/video/py_scan_result.hpp"

#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/types.hpp"
#include "video/libav/scan_images.hpp"

namespace velmar::python {

namespace {

using KeyframeClass = NativeType<video::ScanKeyframe>;

// A scene: its numbers, and its keyframe as the Keyframe object the
// result's keyframes list holds, when it holds one for the same frame.
struct SceneRecord {
  video::ScanScene scene;
  Ref keyframe;  // None for a blank scene without a picture
  Ref pictures;  // a tuple of Keyframe, `keyframe` itself among them
};
using SceneClass = NativeType<SceneRecord>;

// The result keeps its lists as the Python objects it hands out, so reading
// r.scores[i] in a loop does not rebuild the list each time.
struct ScanResultRecord {
  Ref keyframes;
  Ref scenes;
  Ref scores;
  Ref times;
  Ref image_errors;
  Ref warnings;
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
// The path as os.fsdecode gives it back: the bytes of a name that is not
// valid UTF-8 come back as the str they were given as.
PyObject* KeyframePath(PyObject* self, void*) {
  const auto& path = KeyframeClass::Of(self).path;
  if (!path) Py_RETURN_NONE;
  return FsPathToPython(*path);
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
     "seconds from the stream's start, from the frame's own timestamp (carried on where the "
     "timestamps jump back)",
     nullptr},
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

template <auto Field>
PyObject* SceneNumber(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(SceneClass::Of(self).scene.*Field);
}
template <auto Field>
PyObject* SceneFloat(PyObject* self, void*) {
  return PyFloat_FromDouble(SceneClass::Of(self).scene.*Field);
}

const char* TransitionName(video::TransitionKind kind) {
  switch (kind) {
    case video::TransitionKind::kStart: return "start";
    case video::TransitionKind::kCut: return "cut";
    case video::TransitionKind::kDissolve: return "dissolve";
    case video::TransitionKind::kFade: return "fade";
    case video::TransitionKind::kWipe: return "wipe";
  }
  return "cut";
}

PyObject* SceneTransition(PyObject* self, void*) {
  return PyUnicode_FromString(TransitionName(SceneClass::Of(self).scene.transition));
}
PyObject* SceneTransitionFrames(PyObject* self, void*) {
  const video::ScanScene& s = SceneClass::Of(self).scene;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(s.transition_first),
                       static_cast<unsigned long long>(s.transition_last));
}
PyObject* SceneBlank(PyObject* self, void*) {
  return PyBool_FromLong(SceneClass::Of(self).scene.blank);
}
PyObject* SceneKeyframe(PyObject* self, void*) {
  return Ref::Borrow(SceneClass::Of(self).keyframe.get()).release();
}

PyObject* ScenePictures(PyObject* self, void*) {
  return Ref::Borrow(SceneClass::Of(self).pictures.get()).release();
}

// The scene's pictures as Keyframe objects, the one that is `keyframe`'s
// frame being that very object.
Ref PicturesOf(std::vector<video::ScanKeyframe>& pictures, const Ref& keyframe,
               uint64_t keyframe_frame) {
  if (pictures.empty()) return Check(PyTuple_Pack(1, keyframe.get()));
  Ref tuple = Check(PyTuple_New(static_cast<Py_ssize_t>(pictures.size())));
  for (size_t i = 0; i < pictures.size(); ++i) {
    Ref item = pictures[i].frame_number == keyframe_frame
                   ? Ref::Borrow(keyframe.get())
                   : KeyframeClass::Wrap(std::move(pictures[i]));
    if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) {
      throw PythonErrorSet{};
    }
  }
  return tuple;
}

PyObject* SceneRepr(PyObject* self) {
  return Boundary([&] {
    const video::ScanScene& s = SceneClass::Of(self).scene;
    Ref start = NewFloat(s.start_time), end = NewFloat(s.end_time);
    Ref keyframe = s.keyframe ? Check(PyLong_FromUnsignedLongLong(s.keyframe->frame_number))
                              : Ref::Borrow(Py_None);
    return Check(PyUnicode_FromFormat(
        "Scene(start_frame=%llu, end_frame=%llu, start_time=%R, end_time=%R, transition='%s', "
        "blank=%s, keyframe=%R)",
        static_cast<unsigned long long>(s.start_frame), static_cast<unsigned long long>(s.end_frame),
        start.get(), end.get(), TransitionName(s.transition), s.blank ? "True" : "False",
        keyframe.get()));
  });
}

using video::ScanScene;
PyGetSetDef kSceneGetSet[] = {
    {"start_frame", SceneNumber<&ScanScene::start_frame>, nullptr, "first frame of the scene",
     nullptr},
    {"end_frame", SceneNumber<&ScanScene::end_frame>, nullptr, "last frame of the scene (inclusive)",
     nullptr},
    {"start_time", SceneFloat<&ScanScene::start_time>, nullptr, "the first frame's time, seconds",
     nullptr},
    {"end_time", SceneFloat<&ScanScene::end_time>, nullptr,
     "the time of the frame after the scene; for the last scene, the end of the last frame",
     nullptr},
    {"transition", SceneTransition, nullptr,
     "how the scene began: 'start', 'cut', 'dissolve', 'fade' or 'wipe'", nullptr},
    {"transition_frames", SceneTransitionFrames, nullptr,
     "(first, last) frame of the transition that opened the scene", nullptr},
    {"blank", SceneBlank, nullptr,
     "True when every frame of the scene (outside the transitions around it) is one flat "
     "colour; scene detection only", nullptr},
    {"keyframe", SceneKeyframe, nullptr,
     "the Keyframe picturing the scene; None for a blank scene, unless it is the video's only "
     "scene", nullptr},
    {"pictures", ScenePictures, nullptr,
     "tuple of every Keyframe picturing the scene, in frame order: keyframe alone, or "
     "images_per_scene of them; empty when keyframe is None",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

SceneClass g_scene_class{{
    .name = "velmar.video.Scene",
    .constructor = {.doc = "One scene found by scan_video: a run of frames between two "
                           "boundaries, with the keyframe that pictures it."},
    .getset = kSceneGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .repr = SceneRepr,
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
        "keyframes=<%zd>, scenes=<%zd>, images_written=%llu)",
        static_cast<unsigned long long>(r.summary.frame_count),
        static_cast<unsigned long long>(r.summary.width),
        static_cast<unsigned long long>(r.summary.height), fps.get(), duration.get(),
        PyList_Size(r.keyframes.get()), PyList_Size(r.scenes.get()),
        static_cast<unsigned long long>(r.summary.images_written)));
  });
}

using video::ScanOutcome;
PyGetSetDef kResultGetSet[] = {
    {"keyframes", ResultList<&ScanResultRecord::keyframes>, nullptr,
     "list of Keyframe, in frame order", nullptr},
    {"scenes", ResultList<&ScanResultRecord::scenes>, nullptr,
     "list of Scene, in order (empty for max_keyframes alone)", nullptr},
    {"scores", ResultList<&ScanResultRecord::scores>, nullptr,
     "scores[i]: frame first_frame + i's score against the frame before it (0.0 for the "
     "video's first frame)", nullptr},
    {"times", ResultList<&ScanResultRecord::times>, nullptr,
     "times[i]: frame first_frame + i's time in seconds from the stream's start", nullptr},
    {"first_frame", ResultNumber<&ScanOutcome::first_frame>, nullptr,
     "the number of the first frame scanned: 0, or the first of a range (start, end)", nullptr},
    {"width", ResultNumber<&ScanOutcome::width>, nullptr, "width in pixels", nullptr},
    {"height", ResultNumber<&ScanOutcome::height>, nullptr, "height in pixels", nullptr},
    {"frame_count", ResultNumber<&ScanOutcome::frame_count>, nullptr,
     "frames scanned (those of the range, with start or end)", nullptr},
    {"fps", ResultFloat<&ScanOutcome::fps>, nullptr,
     "the stream's frame rate (0.0 when unknown)", nullptr},
    {"duration", ResultFloat<&ScanOutcome::duration>, nullptr,
     "seconds from the stream's start to the end of the last frame scanned", nullptr},
    {"threshold", ResultThreshold, nullptr, "the cut threshold used, or None (scene detection, max_keyframes alone)",
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
    {"warnings", ResultList<&ScanResultRecord::warnings>, nullptr,
     "what in the file disagreed with its frames (a header duration more than a second "
     "off, timestamps that jump back); empty when nothing did", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ScanResultClass g_result_class{{
    .name = "velmar.video.ScanResult",
    .constructor = {.doc = "What scan_video found in one video."},
    .getset = kResultGetSet,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .repr = ResultRepr,
}};

}  // namespace

Ref WrapOutcome(video::ScanOutcome&& out, std::optional<double> threshold) {
  Ref keyframes = NewList(out.keyframes, [](video::ScanKeyframe& keyframe) {
    return KeyframeClass::Wrap(std::move(keyframe));
  });
  // A scene whose keyframe is in the keyframes list shares that object.
  size_t next = 0;
  Ref scenes = NewList(out.scenes, [&](video::ScanScene& scene) {
    if (!scene.keyframe) {
      Ref none = Ref::Borrow(Py_None), pictures = Check(PyTuple_New(0));
      return SceneClass::Wrap(SceneRecord{std::move(scene), std::move(none), std::move(pictures)});
    }
    const uint64_t frame = scene.keyframe->frame_number;
    while (next < out.keyframes.size() && out.keyframes[next].frame_number < frame) ++next;
    Ref keyframe;
    if (next < out.keyframes.size() && out.keyframes[next].frame_number == frame) {
      keyframe = Ref::Borrow(PyList_GetItem(keyframes.get(), static_cast<Py_ssize_t>(next)));
    } else {
      keyframe = KeyframeClass::Wrap(video::ScanKeyframe(*scene.keyframe));
    }
    Ref pictures = PicturesOf(scene.pictures, keyframe, frame);
    return SceneClass::Wrap(SceneRecord{std::move(scene), std::move(keyframe), std::move(pictures)});
  });
  ScanResultRecord record{std::move(keyframes),         std::move(scenes),
                          NewFloatList(out.scores),     NewFloatList(out.times),
                          NewStrList(out.image_errors), NewStrList(out.warnings),
                          {},                           threshold};
  out.scenes = {};
  out.scores = {};
  out.times = {};
  out.image_errors = {};
  out.warnings = {};
  record.summary = std::move(out);
  return ScanResultClass::Wrap(std::move(record));
}

// The type, with its class attribute `file_pattern` (ScanFilePattern) set
// when the type is made: the command recognises an earlier run's images by
// it instead of keeping its own copy of the names.
PyObject* ScanResultType() {
  static bool has_pattern = false;
  PyObject* type = ScanResultClass::Type();
  if (type == nullptr || has_pattern) return type;
  Ref pattern = Ref::Steal(PyUnicode_FromString(video::ScanFilePattern().c_str()));
  if (!pattern || PyObject_SetAttrString(type, "file_pattern", pattern.get()) < 0) return nullptr;
  has_pattern = true;
  return type;
}
PyObject* KeyframeType() { return KeyframeClass::Type(); }
PyObject* SceneType() { return SceneClass::Type(); }

}  // namespace velmar::python
