// velmar.video.scan_video and its result types, ScanResult and Keyframe.
// The scan itself runs with the interpreter lock released; the lock is taken
// back only to check for Ctrl-C and to call the progress callback.

#include <Python.h>

#include <chrono>
#include <cmath>
#include <limits>
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
#include "python/video/py_scan_result.hpp"
#include "common/interrupt.hpp"
#include "video/frame.hpp"
#include "video/libav/scan_images.hpp"
#include "video/libav/scanner.hpp"

namespace velmar::python {

namespace {

using Clock = std::chrono::steady_clock;
using video::ScanOutcome;

// ---- Arguments ---------------------------------------------------------------------

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

// A range bound or a knob: a finite float (or int) in [low, high].
double ToBoundedFloat(PyObject* obj, const char* arg, double low, double high, const char* what) {
  if (!PyFloat_Check(obj) && !PyLong_Check(obj)) ThrowConversionError(obj, arg, "float");
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  if (!(v >= low && v <= high)) {  // also NaN
    Ref shown = Check(PyObject_Repr(obj));
    PyErr_Format(PyExc_ValueError, "argument '%s': must be %s, not %U", arg, what, shown.get());
    throw PythonErrorSet{};
  }
  return v;
}

std::optional<double> ToSeconds(PyObject* obj, const char* arg) {
  return ToBoundedFloat(obj, arg, 0.0, std::numeric_limits<double>::max(),
                        "a finite number of seconds, 0 or more");
}

std::optional<double> ToSceneSeconds(PyObject* obj, const char* arg) {
  const double v = ToBoundedFloat(obj, arg, 0.0, std::numeric_limits<double>::max(),
                                  "a finite number of seconds above 0");
  if (v == 0.0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must be a finite number of seconds above 0, "
                 "not 0", arg);
    throw PythonErrorSet{};
  }
  return v;
}

double ToSensitivity(PyObject* obj, const char* arg) {
  return ToBoundedFloat(obj, arg, 0.0, 1.0, "from 0 to 1");
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
  if (name == "webp" && video::CanEncode(video::ImageFormat::kWebp)) return video::ImageFormat::kWebp;
  if (name == "webp") {
    PyErr_Format(PyExc_ValueError, "argument '%s': 'webp' needs FFmpeg built with libwebp, "
                 "which this one is not; use 'jpg' or 'png'", arg);
    throw PythonErrorSet{};
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': must be 'jpg', 'png' or 'webp', not %R", arg, obj);
  throw PythonErrorSet{};
}

// An int in [low, high]: an image's quality or size in pixels.
int ToIntIn(PyObject* obj, const char* arg, uint64_t low, uint64_t high) {
  if (!PyLong_Check(obj)) ThrowConversionError(obj, arg, "int");
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) PyErr_Clear();
  if (v < static_cast<long long>(low) || v > static_cast<long long>(high)) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must be from %llu to %llu, not %R", arg,
                 static_cast<unsigned long long>(low), static_cast<unsigned long long>(high), obj);
    throw PythonErrorSet{};
  }
  return static_cast<int>(v);
}

std::optional<int> ToQuality(PyObject* obj, const char* arg) { return ToIntIn(obj, arg, 1, 100); }

int ToImageSide(PyObject* obj, const char* arg) { return ToIntIn(obj, arg, 1, 16384); }

uint64_t ToPerScene(PyObject* obj, const char* arg) {
  return static_cast<uint64_t>(ToIntIn(obj, arg, 1, video::kMaxImagesPerScene));
}

std::optional<std::string> ToTemplate(PyObject* obj, const char* arg) { return ToString(obj, arg); }

uint64_t ToPositiveCount(PyObject* obj, const char* arg) {
  const uint64_t count = ToU64(obj, arg);
  if (count == 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must be at least 1", arg);
    throw PythonErrorSet{};
  }
  return count;
}

PyObject* ToCallable(PyObject* obj, const char* arg) {
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not callable", arg,
                 TypeName(obj).c_str());
    throw PythonErrorSet{};
  }
  return obj;
}

constexpr const char kScanSummary[] =
    "Find the scenes, keyframes or cuts of a video in one pass, in process.\n\n"
    "Decodes the first video stream (not cover art) with FFmpeg's libraries on all\n"
    "cores and scores every frame against the one before it: the mean absolute\n"
    "difference of their 8-bit gray pictures, 0..255. On a constant-frame-rate video\n"
    "these are the frames and scores extract_frames gives; a variable-frame-rate\n"
    "video yields the stream's own frames, each with its own timestamp. A frame whose\n"
    "picture size differs from the first frame's is scored against it at the first\n"
    "size, and starts a new scene.\n\n"
    "Modes:\n"
    "  neither max_keyframes nor threshold (the default): scene detection. Hard cuts\n"
    "    are scores that stand well above the scores around them (so dark and\n"
    "    low-contrast cuts are found, pans and film grain are not); dissolves, fades\n"
    "    and wipes are found over windows of frames, each one boundary placed in its\n"
    "    middle; a fade out to black (or white), a hold of up to 2 seconds and a\n"
    "    fade in (or cuts into and out of the hold) are one boundary spanning all\n"
    "    of it; a flash is no boundary; boundaries are min_scene_len frames apart.\n"
    "    ScanResult.scenes partitions the frames; keyframes holds one picture per\n"
    "    scene: its stillest frame in the scene's middle, never inside a transition\n"
    "    nor in the first frames after one. A scene of one flat colour (a longer\n"
    "    hold of black) has Scene.blank True and no picture (keyframe None),\n"
    "    unless it is the video's only scene. ScanResult.threshold is None.\n"
    "  max_keyframes=k alone: the k highest-scoring frames (frames tying the k-th\n"
    "    score are all kept), exactly extract_keyframes(extract_frames(v), k);\n"
    "    scenes is empty.\n"
    "  threshold=t alone: a cut wherever the score is at least t and at least\n"
    "    min_scene_len frames have passed since the last cut (or the first frame);\n"
    "    keyframes are the cuts, scenes the scenes between them.\n"
    "  both: the k highest of those cuts; scenes are those between all cuts.\n\n"
    "With output_dir, images keyframe_<frame number, six digits or more>.jpg (or\n"
    ".png) are written from the decoded colour frames, turned upright as the\n"
    "ffmpeg program turns them: one per scene for the first max_save scenes, each\n"
    "as its scene closes; for each of the first max_save cuts as it is found; for\n"
    "the best min(k, max_save) keyframes with max_keyframes. Each is written\n"
    "atomically and durably; one that fails keeps Keyframe.path None and is listed\n"
    "in ScanResult.image_errors. Paths may be str, bytes or os.PathLike; a str is\n"
    "encoded as os.fsencode does. downscale=d scores pictures shrunk by averaging\n"
    "d x d blocks: faster on large videos, but the scores then differ from\n"
    "extract_frames'.\n"
    "progress(frames_done, frames_expected) is called with the interpreter lock\n"
    "held, at most ten times a second while decoding, and once at the end; an\n"
    "exception it raises ends the scan. The interpreter lock is released while\n"
    "decoding and scoring; Ctrl-C raises KeyboardInterrupt.\n\n"
    "Errors: RuntimeError('Scan failed: <reason>') for a missing file, a file that\n"
    "is not a video FFmpeg can open, no video stream, a corrupt stream, frames of\n"
    "more than max_pixels pixels (default 2**27 = 134217728, refused before any\n"
    "frame is allocated; raise it to scan larger pictures), or an output directory\n"
    "that cannot be written. The RuntimeError is also of the built-in type of its\n"
    "kind: FileNotFoundError, PermissionError, ValueError (not a video, corrupt, no\n"
    "video stream, too many pixels) or OSError.\n\n"
    "Times follow the frames: the last scene and ScanResult.duration end one frame\n"
    "after the last decoded frame, whatever the header claims, and a timestamp\n"
    "that jumps back is carried on from the last good one by the frame duration.\n"
    "ScanResult.warnings says when the header or the timestamps disagreed.\n\n"
    "start and end (seconds from the stream's start, or start_frame and end_frame,\n"
    "frame numbers) scan only the frames in [start, end): decoding seeks to the key\n"
    "frame at or before start and stops at end, so a range costs what it holds.\n"
    "Frame numbers, times and image names stay those of the whole video (frame 0 is\n"
    "its first frame): the range's first frame is numbered from its timestamp and\n"
    "the stream's frame rate, round(time * fps), which on variable-frame-rate video\n"
    "is an estimate (a range from the video's first frame counts exactly). Then\n"
    "ScanResult.first_frame is that number, and scores[i] and times[i] are those of\n"
    "frame first_frame + i (scores[0] against the frame before the range);\n"
    "frame_count and the progress total count the range's frames. The first scene\n"
    "starts at the range's first frame (transition 'start'). ValueError, naming the\n"
    "argument, for a negative or non-finite bound, start not before end, a start at\n"
    "or past the video's end, or a range that holds no frame.\n\n"
    "sensitivity (0 to 1, default 0.5) tunes scene detection alone; 0.5 is exactly\n"
    "the detection above. It moves the hard-cut floors and the contrast a cut needs\n"
    "against its neighbours, and the smallest change a dissolve, fade or wipe must\n"
    "make. Lower keeps only the boundaries that clear the raised bars; higher adds\n"
    "weaker ones, each at least min_scene_len frames from every stronger one, so a\n"
    "boundary found at one sensitivity is found at every higher one.\n\n"
    "min_scene_seconds, instead of min_scene_len, gives the minimum scene length in\n"
    "seconds: round(seconds * fps) frames, at least 1, at the stream's frame rate.\n\n"
    "Images: image_format 'jpg', 'png' or 'webp' (ValueError where FFmpeg has no\n"
    "libwebp); image_quality 1..100 for JPEG and WebP (default 92); image_width\n"
    "and/or image_height scale the upright picture (one alone keeps the aspect\n"
    "ratio) with a Lanczos filter. images_per_scene=n (1..16, scene detection) writes\n"
    "n pictures of each scene, spread over its calm frames and listed in frame order\n"
    "in Scene.pictures (fewer for a scene with fewer calm frames); Scene.keyframe\n"
    "stays the best of them and max_save counts every image. image_name is the\n"
    "name template, the extension added: fields {video} (the file name without\n"
    "extension), {scene} (from 1; with max_keyframes the keyframe's place in frame\n"
    "order), {frame} and {time} (HH-MM-SS.mmm); {scene} and {frame} take a width\n"
    "spec such as {frame:06d}. It must hold {frame} or {time} ({scene} will do with\n"
    "one picture a scene) and no '/'. ScanResult.file_pattern matches the default\n"
    "names only.";

// The defaults as the signature shows them, from the core's own values.
const std::string kMinSceneLenShown = std::to_string(video::kDefaultMinSceneLen);
const std::string kMaxSaveShown = std::to_string(video::DEFAULT_MAX_SAVE);
const std::string kMaxPixelsShown = std::to_string(video::kDefaultMaxPixels);
const std::string kQualityShown = std::to_string(video::kDefaultImageQuality);
const std::string kImageNameShown = "'" + std::string(video::kDefaultImageName) + "'";

const Args kScanArgs{
    {"scan_video", kNoSelf, "Scan failed: ", /*positional=*/2, kScanSummary},
    Required<ToFsPath>{"video_path"},
    Optional<ToCount>{"max_keyframes", std::nullopt},
    Optional<ToThreshold>{"threshold", std::nullopt},
    Optional<ToCount>{"min_scene_len", std::nullopt, kMinSceneLenShown.c_str()},
    Optional<ToOutputDir>{"output_dir", std::nullopt},
    Optional<ToImageFormat>{"image_format", video::ImageFormat::kJpeg, "'jpg'"},
    Optional<ToU64>{"max_save", video::DEFAULT_MAX_SAVE, kMaxSaveShown.c_str()},
    Optional<ToPositiveCount>{"downscale", 1, "1"},
    Optional<ToCallable>{"progress", nullptr},
    Optional<ToPositiveCount>{"max_pixels", video::kDefaultMaxPixels, kMaxPixelsShown.c_str()},
    Optional<ToSeconds>{"start", std::nullopt},
    Optional<ToSeconds>{"end", std::nullopt},
    Optional<ToCount>{"start_frame", std::nullopt},
    Optional<ToCount>{"end_frame", std::nullopt},
    Optional<ToSensitivity>{"sensitivity", 0.5, "0.5"},
    Optional<ToSceneSeconds>{"min_scene_seconds", std::nullopt},
    Optional<ToQuality>{"image_quality", std::nullopt, kQualityShown.c_str()},
    Optional<ToImageSide>{"image_width", 0, "None"},
    Optional<ToImageSide>{"image_height", 0, "None"},
    Optional<ToPerScene>{"images_per_scene", 1, "1"},
    Optional<ToTemplate>{"image_name", std::nullopt, kImageNameShown.c_str()},
};

// One end of the range from its seconds or its frame number, at most one
// of them given.
std::optional<video::RangeBound> ToBound(std::optional<double> seconds,
                                         std::optional<uint64_t> frame, const char* seconds_arg,
                                         const char* frame_arg) {
  if (seconds && frame) {
    PyErr_Format(PyExc_ValueError, "argument '%s': give %s or %s, not both", frame_arg,
                 seconds_arg, frame_arg);
    throw PythonErrorSet{};
  }
  if (seconds) return video::RangeBound{*seconds, false};
  if (frame) return video::RangeBound{static_cast<double>(*frame), true};
  return std::nullopt;
}

// Refuses a range whose start is not before its end, when both ends are in
// the same unit (the core checks a mixed one once it knows the frame rate).
void CheckRange(const std::optional<video::RangeBound>& start,
                const std::optional<video::RangeBound>& end) {
  if (!start || !end || start->in_frames != end->in_frames || start->value < end->value) return;
  Ref shown_start = Check(PyFloat_FromDouble(start->value));
  Ref shown_end = Check(PyFloat_FromDouble(end->value));
  PyErr_Format(PyExc_ValueError, "argument '%s': must be after start (%R), not %R",
               end->in_frames ? "end_frame" : "end", shown_start.get(), shown_end.get());
  throw PythonErrorSet{};
}

// The image options, checked against each other: a quality only for the
// formats that have one, several pictures a scene only where there are
// scenes to find, and a name template that can name them.
void SetImageOptions(video::ImageFormat format, std::optional<int> quality, int width, int height,
                     uint64_t per_scene, std::optional<std::string> name, bool no_scene_detection,
                     video::ScanOptions* options) {
  if (quality && format == video::ImageFormat::kPng) {
    PyErr_SetString(PyExc_ValueError, "argument 'image_quality': PNG is lossless and takes no "
                                      "quality; give it with 'jpg' or 'webp'");
    throw PythonErrorSet{};
  }
  if (per_scene > 1 && no_scene_detection) {
    PyErr_SetString(PyExc_ValueError, "argument 'images_per_scene': only scene detection "
                                      "(neither max_keyframes nor threshold) has more than one");
    throw PythonErrorSet{};
  }
  if (name) {
    if (std::string problem = video::ImageNameProblem(*name, per_scene); !problem.empty()) {
      Ref shown = Check(PyUnicode_FromString(name->c_str()));
      PyErr_Format(PyExc_ValueError, "argument 'image_name': %R: %s", shown.get(), problem.c_str());
      throw PythonErrorSet{};
    }
    // The default template keeps the default names, which the core makes itself.
    if (*name != video::kDefaultImageName) options->image_name = std::move(*name);
  }
  options->image_quality = quality.value_or(video::kDefaultImageQuality);
  options->image_width = width;
  options->image_height = height;
  options->images_per_scene = per_scene;
}

Ref ScanVideo(PyObject*, std::string video_path, std::optional<uint64_t> max_keyframes,
              std::optional<double> threshold, std::optional<uint64_t> min_scene_len,
              std::optional<std::string> output_dir, video::ImageFormat image_format,
              uint64_t max_save, uint64_t downscale, PyObject* progress, uint64_t max_pixels,
              std::optional<double> start, std::optional<double> end,
              std::optional<uint64_t> start_frame, std::optional<uint64_t> end_frame,
              double sensitivity, std::optional<double> min_scene_seconds,
              std::optional<int> image_quality, int image_width, int image_height,
              uint64_t images_per_scene, std::optional<std::string> image_name) {
  if (KeyframeType() == nullptr || ScanResultType() == nullptr || SceneType() == nullptr) {
    throw PythonErrorSet{};
  }
  video::ScanOptions options{max_keyframes,
                             threshold,
                             min_scene_len.value_or(video::kDefaultMinSceneLen),
                             min_scene_seconds,
                             std::move(output_dir),
                             image_format,
                             max_save,
                             downscale,
                             max_pixels,
                             ToBound(start, start_frame, "start", "start_frame"),
                             ToBound(end, end_frame, "end", "end_frame"),
                             sensitivity};
  CheckRange(options.start, options.end);
  SetImageOptions(image_format, image_quality, image_width, image_height, images_per_scene,
                  std::move(image_name), max_keyframes || threshold, &options);
  if (min_scene_len && min_scene_seconds) {
    PyErr_SetString(PyExc_ValueError, "argument 'min_scene_seconds': give min_scene_len or "
                                      "min_scene_seconds, not both");
    throw PythonErrorSet{};
  }
  Ref keep_progress = Ref::Borrow(progress);  // alive while the lock is released

  ProgressObserver observer(progress);
  std::optional<video::VideoResult<ScanOutcome>> result;
  {
    ReleasedLock released;
    observer.SetReleased(&released);
    result.emplace(video::ScanVideo(video_path, options, &observer));
  }

  // A range the video cannot give is the caller's value, not the file's fault.
  if (!*result && result->error().cause == std::errc::invalid_argument) {
    PyErr_SetString(PyExc_ValueError, result->error().message.c_str());
    throw PythonErrorSet{};
  }
  ScanOutcome outcome = Unwrap(std::move(*result));
  if (!observer.Report(outcome.frame_count, outcome.frame_count)) throw PythonErrorSet{};
  return WrapOutcome(std::move(outcome), threshold);
}

}  // namespace

PyMethodDef kScanVideoDef = Def<kScanArgs, ScanVideo>();

}  // namespace velmar::python
