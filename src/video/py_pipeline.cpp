#include "video/py_pipeline.hpp"

#include <optional>
#include <string>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"
#include "video/frame.hpp"
#include "video/measured_run.hpp"
#include "video/pipeline.hpp"
#include "video/py_extractor.hpp"
#include "video/py_performance.hpp"

namespace velmar::python {

namespace {

// The arguments process_video and extract_keyframes_from_video share.
struct PipelineArgs {
  std::string video_path;
  std::string output_dir;
  uint64_t max_keyframes = 0;
  uint64_t max_save = video::DEFAULT_MAX_SAVE;
  bool use_simd = true;
  uint64_t block_size = video::DEFAULT_BLOCK_SIZE;
};

PyObject* RunPipeline(const ExtractorSettings& settings, const PipelineArgs& args) {
  auto record = video::process_video_pipeline(settings.ffmpeg_path, settings.verbose,
                                              args.video_path, args.output_dir,
                                              args.max_keyframes, args.max_save, args.use_simd,
                                              args.block_size);
  // The message already starts with the failing step's prefix.
  if (!record) return RaiseRuntimeError("", record.error().message);
  return WrapPerformanceResult(std::move(*record));
}

PyObject* ExtractKeyframesFromVideo(PyObject*, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[9];
    if (!BindArgs("extract_keyframes_from_video", args, kwargs,
                  {"video_path", "output_dir", "max_keyframes", "max_save", "ffmpeg_path",
                   "use_simd", "threads", "verbose", "block_size"},
                  3, a)) {
      return nullptr;
    }
    PipelineArgs p;
    std::optional<std::string> ffmpeg_path;
    uint64_t threads = 0;
    bool verbose = false;
    if (!ToPath(a[0], "video_path", &p.video_path) ||
        !ToPath(a[1], "output_dir", &p.output_dir) ||
        !ToU64(a[2], "max_keyframes", &p.max_keyframes) ||
        !ToU64Or(a[3], "max_save", video::DEFAULT_MAX_SAVE, &p.max_save) ||
        !ToOptString(a[4], "ffmpeg_path", &ffmpeg_path) ||
        (ffmpeg_path && !ToPath(a[4], "ffmpeg_path", &*ffmpeg_path)) ||
        !ToBoolOr(a[5], "use_simd", true, &p.use_simd) ||
        !ToU64Or(a[6], "threads", 0, &threads) || !ToBoolOr(a[7], "verbose", false, &verbose) ||
        !ToU64Or(a[8], "block_size", video::DEFAULT_BLOCK_SIZE, &p.block_size)) {
      return nullptr;
    }
    // A temporary extractor, made as the constructor makes one: threads > 0
    // sizes the worker pool if nothing has created it yet.
    const ExtractorSettings settings =
        MakeExtractorSettings(ffmpeg_path.value_or("ffmpeg"), threads, verbose);
    return RunPipeline(settings, p);
  });
}

}  // namespace

PyObject* ExtractorBenchmark(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[5];
    if (!BindArgs("benchmark", args, kwargs,
                  {"video_path", "max_keyframes", "test_name", "use_simd", "block_size"}, 3, a)) {
      return nullptr;
    }
    std::string video_path, test_name;
    uint64_t max_keyframes = 0, block_size = 0;
    bool use_simd = true;
    if (!ToPath(a[0], "video_path", &video_path) ||
        !ToU64(a[1], "max_keyframes", &max_keyframes) ||
        !ToString(a[2], "test_name", &test_name) ||
        !ToBoolOr(a[3], "use_simd", true, &use_simd) ||
        !ToU64Or(a[4], "block_size", video::DEFAULT_BLOCK_SIZE, &block_size)) {
      return nullptr;
    }
    const ExtractorSettings& settings = ExtractorSettingsOf(self);
    // A kernel failure is thrown past this and reaches Python as
    // PanicException, not as a "Benchmark failed" RuntimeError.
    auto record = video::run_performance_test(video_path, max_keyframes, test_name,
                                              settings.ffmpeg_path, use_simd, block_size,
                                              settings.verbose);
    if (!record) return RaiseRuntimeError("Benchmark failed: ", record.error().message);
    return WrapPerformanceResult(std::move(*record));
  });
}

PyObject* ExtractorProcessVideo(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Boundary([&]() -> PyObject* {
    PyObject* a[6];
    if (!BindArgs("process_video", args, kwargs,
                  {"video_path", "output_dir", "max_keyframes", "max_save", "use_simd",
                   "block_size"},
                  3, a)) {
      return nullptr;
    }
    PipelineArgs p;
    if (!ToPath(a[0], "video_path", &p.video_path) ||
        !ToPath(a[1], "output_dir", &p.output_dir) ||
        !ToU64(a[2], "max_keyframes", &p.max_keyframes) ||
        !ToU64Or(a[3], "max_save", video::DEFAULT_MAX_SAVE, &p.max_save) ||
        !ToBoolOr(a[4], "use_simd", true, &p.use_simd) ||
        !ToU64Or(a[5], "block_size", video::DEFAULT_BLOCK_SIZE, &p.block_size)) {
      return nullptr;
    }
    return RunPipeline(ExtractorSettingsOf(self), p);
  });
}

PyMethodDef kExtractKeyframesFromVideoDef = {
    "extract_keyframes_from_video",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ExtractKeyframesFromVideo)),
    METH_VARARGS | METH_KEYWORDS,
    "extract_keyframes_from_video(video_path, output_dir, max_keyframes, max_save=None, "
    "ffmpeg_path=None, use_simd=None, threads=None, verbose=None, block_size=None)\n--\n\n",
};

}  // namespace velmar::python
