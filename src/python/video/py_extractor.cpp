#include "python/video/py_extractor.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/video/py_frame.hpp"
#include "python/video/py_performance.hpp"
#include "python/video/py_pipeline.hpp"
#include "video/cpu_features.hpp"
#include "video/ffmpeg_program/decode.hpp"
#include "video/ffmpeg_program/save.hpp"
#include "video/ffmpeg_program/measured_run.hpp"
#include "video/frame.hpp"
#include "video/selection.hpp"

namespace velmar::python {

namespace {

// None is refused for all three: each must be of its own type when given.
const Args kExtractorArgs{{"VideoKeyframeExtractor"},
                          Optional<ToPath>{"ffmpeg_path", "ffmpeg", "...", false},
                          Optional<ToU64>{"threads", 0, "0", false},
                          Optional<ToBool>{"verbose", false, "False", false}};

const Args kExtractFramesArgs{{"extract_frames", kSelf, "Frame extraction failed: "},
                              Required<ToFsPath>{"video_path"},
                              // Checked, then unused: the whole video is decoded.
                              Optional<ToU64>{"max_frames", 0}};

Ref ExtractFrames(PyObject* self, std::string video_path, uint64_t) {
  const ExtractorSettings& settings = ExtractorClass::Of(self);
  auto result =
      Unwrap(video::extract_all_frames(video_path, settings.ffmpeg_path, settings.verbose));
  std::vector<video::VideoFrame>& frames = result.frames;
  Ref list = NewList(frames, [](video::VideoFrame& frame) {
    return FrameClass::Wrap(std::move(frame));
  });
  frames.clear();
  Ref width = NewInt(result.width);
  Ref height = NewInt(result.height);
  return Check(PyTuple_Pack(3, list.get(), width.get(), height.get()));
}

const Args kExtractKeyframesArgs{{"extract_keyframes", kSelf},
                                 Required<ToFrameList>{"frames"},
                                 Required<ToU64>{"max_keyframes"},
                                 Optional<ToBool>{"use_simd", true},
                                 Optional<ToU64>{"block_size", video::DEFAULT_BLOCK_SIZE}};

Ref ExtractKeyframes(PyObject* self, std::vector<video::VideoFrame> frames,
                     uint64_t max_keyframes, bool use_simd, uint64_t block_size) {
  return NewIntList(video::select_keyframes(frames, max_keyframes, use_simd, block_size,
                                            ExtractorClass::Of(self).verbose));
}

const Args kSaveKeyframesArgs{{"save_keyframes", kSelf, "Save keyframes failed: "},
                              Required<ToFsPath>{"video_path"},
                              Required<ToU64Vector>{"keyframe_indices"},
                              Required<ToFsPath>{"output_dir"},
                              Optional<ToU64>{"max_save", video::DEFAULT_MAX_SAVE}};

Ref SaveKeyframes(PyObject* self, std::string video_path, std::vector<uint64_t> keyframes,
                  std::string output_dir, uint64_t max_save) {
  const ExtractorSettings& settings = ExtractorClass::Of(self);
  return NewInt(Unwrap(video::save_keyframe_images(
      video_path, keyframes, output_dir,
      video::SaveOptions{settings.ffmpeg_path, max_save, settings.verbose})));
}

const Args kBenchmarkArgs{{"benchmark", kSelf, "Benchmark failed: "},
                          Required<ToFsPath>{"video_path"},
                          Required<ToU64>{"max_keyframes"},
                          Required<ToString>{"test_name"},
                          Optional<ToBool>{"use_simd", true},
                          Optional<ToU64>{"block_size", video::DEFAULT_BLOCK_SIZE}};

Ref Benchmark(PyObject* self, std::string video_path, uint64_t max_keyframes,
              std::string test_name, bool use_simd, uint64_t block_size) {
  const ExtractorSettings& settings = ExtractorClass::Of(self);
  // A kernel failure is thrown past this and reaches Python as
  // PanicException, not as a "Benchmark failed" RuntimeError.
  return PerformanceResultClass::Wrap(Unwrap(video::run_performance_test(
      video_path, max_keyframes, test_name, settings.ffmpeg_path, use_simd, block_size,
      settings.verbose)));
}

const Args kProcessVideoArgs{{"process_video", kSelf},
                             Required<ToFsPath>{"video_path"},
                             Required<ToFsPath>{"output_dir"},
                             Required<ToU64>{"max_keyframes"},
                             Optional<ToU64>{"max_save", video::DEFAULT_MAX_SAVE},
                             Optional<ToBool>{"use_simd", true},
                             Optional<ToU64>{"block_size", video::DEFAULT_BLOCK_SIZE}};

Ref ProcessVideo(PyObject* self, std::string video_path, std::string output_dir,
                 uint64_t max_keyframes, uint64_t max_save, bool use_simd, uint64_t block_size) {
  return RunPipeline(ExtractorClass::Of(self), video_path, output_dir, max_keyframes, max_save,
                     use_simd, block_size);
}

const Args kGetCpuFeaturesArgs{{"get_cpu_features", kSelf}};

Ref GetCpuFeatures(PyObject*) {
  const video::CpuFeatures& features = video::GetCpuFeatures();
  // Collected in a hash map first, so callers cannot come to rely on the
  // order of the keys.
  const std::unordered_map<std::string, bool> entries = {
      {"avx2", features.avx2},     {"sse2", true},    {"sse4_1", features.sse4_1},
      {"sse4_2", features.sse4_2}, {"fma", features.fma},
  };
  Ref dict = Check(PyDict_New());
  for (const auto& [key, value] : entries) {
    CheckStatus(PyDict_SetItemString(dict.get(), key.c_str(), value ? Py_True : Py_False));
  }
  return dict;
}

const Args kGetThreadCountArgs{{"get_thread_count", kSelf}};
const Args kGetConfiguredThreadsArgs{{"get_configured_threads", kSelf}};

Ref GetThreadCount(PyObject* self) { return NewInt(ExtractorClass::Of(self).threads); }

const Args kGetActualThreadCountArgs{{"get_actual_thread_count", kSelf}};

Ref GetActualThreadCount(PyObject*) { return NewInt(ActualThreadCount()); }

PyMethodDef kMethods[] = {
    Def<kExtractFramesArgs, ExtractFrames>(),
    Def<kExtractKeyframesArgs, ExtractKeyframes>(),
    Def<kSaveKeyframesArgs, SaveKeyframes>(),
    Def<kBenchmarkArgs, Benchmark>(),
    Def<kProcessVideoArgs, ProcessVideo>(),
    Def<kGetCpuFeaturesArgs, GetCpuFeatures>(),
    Def<kGetThreadCountArgs, GetThreadCount>(),
    Def<kGetConfiguredThreadsArgs, GetThreadCount>(),
    Def<kGetActualThreadCountArgs, GetActualThreadCount>(),
    kEndOfMethods,
};

ExtractorClass g_extractor_class{{
    .name = "velmar.video.VideoKeyframeExtractor",
    .constructor = Constructor<kExtractorArgs, MakeExtractorSettings>(),
    .methods = kMethods,
}};

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

}  // namespace velmar::python
