// velmar.video.split_video: one file per scene, written with the interpreter
// lock released.

#include <Python.h>

#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/lock_release.hpp"
#include "python/types.hpp"
#include "python/video/py_progress.hpp"
#include "video/libav/scan_images.hpp"
#include "video/libav/splitter.hpp"

namespace velmar::python {

namespace {

// A frame number of a scene's item: an int, or an attribute of that name.
uint64_t FrameOf(PyObject* value, size_t position) {
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'scenes': scene %zu: frame numbers must be int, "
                 "not '%s'", position, TypeName(value).c_str());
    throw PythonErrorSet{};
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "argument 'scenes': scene %zu: frame %R is not a frame of a "
                 "video", position, value);
    throw PythonErrorSet{};
  }
  return v;
}

// A Scene (anything with start_frame and end_frame) or a (start, end) pair.
video::SplitScene ToScene(PyObject* item, size_t position) {
  if (PyObject_HasAttrString(item, "start_frame") && PyObject_HasAttrString(item, "end_frame")) {
    Ref start = Check(PyObject_GetAttrString(item, "start_frame"));
    Ref end = Check(PyObject_GetAttrString(item, "end_frame"));
    return {FrameOf(start.get(), position), FrameOf(end.get(), position)};
  }
  if (!PyUnicode_Check(item) && !PyBytes_Check(item) && PySequence_Check(item) &&
      PySequence_Size(item) == 2) {
    Ref start = Check(PySequence_GetItem(item, 0));
    Ref end = Check(PySequence_GetItem(item, 1));
    return {FrameOf(start.get(), position), FrameOf(end.get(), position)};
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "argument 'scenes': scene %zu must be a Scene or a "
               "(start_frame, end_frame) pair, not '%s'", position, TypeName(item).c_str());
  throw PythonErrorSet{};
}

std::vector<video::SplitScene> ToScenes(PyObject* obj, const char* arg) {
  std::vector<video::SplitScene> scenes;
  ForEachItem(obj, arg, [&](PyObject* item) { scenes.push_back(ToScene(item, scenes.size() + 1)); });
  return scenes;
}

std::string ToDirectory(PyObject* obj, const char* arg) {
  std::string dir = ToFsPath(obj, arg);
  if (dir.empty()) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must not be empty", arg);
    throw PythonErrorSet{};
  }
  return dir;
}

std::string ToPartName(PyObject* obj, const char* arg) {
  std::string name = ToString(obj, arg);
  if (std::string problem = video::ImageNameProblem(name, 1); !problem.empty()) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %R: %s", arg, obj, problem.c_str());
    throw PythonErrorSet{};
  }
  return name;
}

constexpr const char kSplitSummary[] =
    "Write one file per scene of a video into output_dir; return their paths.\n\n"
    "scenes is ScanResult.scenes or a list of (start_frame, end_frame) pairs, the\n"
    "end included, in the frame numbers scan_video gives (frame 0 is the first\n"
    "frame it reports). They must be in order and not overlap; gaps are allowed.\n"
    "A list that does not fit the video (empty, unsorted, overlapping, a start\n"
    "after its end, a frame beyond the video) raises ValueError naming the first\n"
    "bad scene, before anything is written.\n\n"
    "By default each part holds exactly its scene's frames. A part that starts on\n"
    "a key frame that needs nothing before it and ends right before another (or\n"
    "at the video's end) is copied bit for bit; any other part is re-encoded whole,\n"
    "in the source's codec where this FFmpeg has an encoder for it (else in one the\n"
    "container takes, with a UserWarning), at a quality a viewer cannot tell from\n"
    "the source (PSNR of 45 dB or more).\n"
    "copy=True copies only: each part starts at the key frame at or before its\n"
    "scene (and may end a few frames late, where the stream can end). Every start\n"
    "that moved is reported with a UserWarning whose attributes are scene (from 1),\n"
    "requested_start, actual_start and path.\n\n"
    "Audio goes with each part, cut within half an audio frame of its pictures,\n"
    "and subtitles the container can carry; each part's times start at 0. The\n"
    "parts are in the input's container where it holds their streams, else in\n"
    "Matroska (.mkv). Names: name_template with {video} (the file name without\n"
    "extension), {scene} (from 1), {frame} and {time} (HH-MM-SS.mmm) of the\n"
    "scene's start, the extension added; default '{video}-scene-{scene:03d}'.\n"
    "Paths may be str, bytes or os.PathLike; output_dir is made when missing.\n\n"
    "Each part is written to a temporary file and renamed into place. A part that\n"
    "fails leaves no file; the others are still written, and then RuntimeError\n"
    "('Split failed: ...', also of the built-in type of its kind) names the\n"
    "failed parts. The interpreter lock is released while it works; Ctrl-C raises\n"
    "KeyboardInterrupt.";

const Args kSplitArgs{
    {"split_video", kNoSelf, "Split failed: ", /*positional=*/3, kSplitSummary},
    Required<ToFsPath>{"video_path"},
    Required<ToScenes>{"scenes"},
    Required<ToDirectory>{"output_dir"},
    Optional<ToBool>{"copy", false, "False"},
    Optional<ToPartName>{"name_template", std::string()},
};

// One UserWarning per start that a stream copy moved, for callers to read.
void WarnMoved(const video::SplitPart& part, size_t scene) {
  Ref path = Check(FsPathToPython(part.path));
  Ref message = Check(PyUnicode_FromFormat(
      "scene %zu: the part starts at key frame %llu, not at frame %llu (%U)", scene,
      static_cast<unsigned long long>(part.actual_start),
      static_cast<unsigned long long>(part.requested_start), path.get()));
  Ref number = NewInt(scene);
  Ref requested = NewInt(part.requested_start);
  Ref actual = NewInt(part.actual_start);
  Warn(NewException(PyExc_UserWarning, message.get(),
                    {{"scene", number.get()}, {"requested_start", requested.get()},
                     {"actual_start", actual.get()}, {"path", path.get()}})
           .get());
}

Ref SplitVideo(PyObject*, std::string video_path, std::vector<video::SplitScene> scenes,
               std::string output_dir, bool copy, std::string name_template) {
  video::SplitOptions options{std::move(output_dir), copy, std::move(name_template)};
  ProgressObserver observer(nullptr);
  std::optional<video::VideoResult<video::SplitOutcome>> result;
  {
    ReleasedLock released;
    observer.SetReleased(&released);
    result.emplace(video::SplitVideo(video_path, scenes, options, &observer));
  }
  // A scene list that does not fit the video is the caller's value.
  if (!*result && result->error().cause == std::errc::invalid_argument) {
    PyErr_Format(PyExc_ValueError, "argument 'scenes': %s", result->error().message.c_str());
    throw PythonErrorSet{};
  }
  video::SplitOutcome outcome = Unwrap(std::move(*result));
  for (const std::string& warning : outcome.warnings) {
    Ref message = Check(PyUnicode_DecodeUTF8(warning.data(), static_cast<Py_ssize_t>(warning.size()),
                                             "replace"));
    Warn(NewException(PyExc_UserWarning, message.get(), {}).get());
  }
  for (size_t i = 0; i < outcome.parts.size(); ++i) {
    if (outcome.parts[i].actual_start != outcome.parts[i].requested_start) {
      WarnMoved(outcome.parts[i], i + 1);
    }
  }
  return NewList(outcome.parts, [](const video::SplitPart& part) {
    return Check(FsPathToPython(part.path));
  });
}

}  // namespace

PyMethodDef kSplitVideoDef = Def<kSplitArgs, SplitVideo>();

}  // namespace velmar::python
