#include "video/ffmpeg_program/measured_run.hpp"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "common/output.hpp"
#include "common/worker_pool.hpp"
#include "video/difference.hpp"
#include "video/ffmpeg_program/run_report.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;


}  // namespace

ScoringSink::ScoringSink(bool score, bool use_simd, uint64_t block_size)
    : scoring_(score), use_simd_(use_simd), block_size_(block_size) {}

void ScoringSink::OnDimensions(Dimensions dimensions) {
  previous_.width = current_.width = dimensions.width;
  previous_.height = current_.height = dimensions.height;
  frame_size_ = static_cast<size_t>(dimensions.width * dimensions.height);
}

std::span<uint8_t> ScoringSink::FrameBuffer(uint64_t, size_t size) {
  // Not scoring (k = 0, or after a kernel failure): the decoder's own
  // buffers serve.
  if (!scoring_) return {};
  std::vector<uint8_t>& data = current_.data;
  if (data.size() < size) {
    // Until a whole frame has arrived the probed size is only a claim, so
    // the buffer grows with the bytes (by doubling); after that the size is
    // known to be real and the buffer takes it at once. Padded like every
    // record once it holds the whole frame.
    const size_t padded = VideoFrame::PaddedSize(frame_size_);
    if (has_previous_ || size == frame_size_) {
      data.reserve(padded);
    } else if (size > data.capacity()) {
      data.reserve(std::min(std::max(size, 2 * data.capacity()), padded));
    }
    data.resize(size == frame_size_ ? padded : size);
  }
  return data;
}

void ScoringSink::OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) {
  if (!scoring_) return;
  try {
    // The decoder read the frame into `current_` (FrameBuffer); copy only
    // if it did not.
    current_.frame_number = frame_number;
    if (pixels.data() != current_.data.data()) {
      current_.data.assign(pixels.begin(), pixels.end());
    }
    if (has_previous_) {
      const double score = use_simd_
                               ? FrameDifferenceSimd(previous_, current_, block_size_)
                               : FrameDifference(previous_, current_);
      entries_.push_back(PairEntry{frame_number, score});
    }
    std::swap(previous_, current_);
    has_previous_ = true;
  } catch (...) {
    // Thrown only once the decoder is reaped: throwing from here would kill
    // the decoder mid-stream, and the collect-then-select path reports a
    // kernel failure after a complete decode.
    failure_ = std::current_exception();
    scoring_ = false;
    previous_.data = {};
    current_.data = {};
    entries_ = {};
  }
}

void ScoringSink::RethrowFailure() const {
  if (failure_) std::rethrow_exception(failure_);
}

VideoResult<StreamedSelection> DecodeAndSelect(const std::string& video_path,
                                               const std::string& ffmpeg_path,
                                               uint64_t max_keyframes, bool use_simd,
                                               uint64_t block_size, bool verbose) {
  // Selection returns at once for k = 0, so nothing needs scoring then (and
  // a block size of 0 cannot fail).
  ScoringSink sink(max_keyframes != 0, use_simd, block_size);
  const Clock::time_point decode_start = Clock::now();
  auto stats = DecodeFrames(video_path, ffmpeg_path, verbose, sink);
  const Clock::time_point decode_end = Clock::now();
  if (!stats) return std::unexpected(std::move(stats.error()));

  StreamedSelection result;
  result.total_frames = stats->frame_count;
  const auto decode_time =
      std::chrono::duration_cast<std::chrono::nanoseconds>(decode_end - decode_start);
  result.reading_time = std::max(decode_time - stats->sink_time, std::chrono::nanoseconds::zero());

  const bool selecting = max_keyframes != 0 && stats->frame_count >= 2;
  if (verbose && selecting) PrintAnalysisTarget(max_keyframes, use_simd);
  sink.RethrowFailure();

  const Clock::time_point select_start = Clock::now();
  if (selecting) {
    // The "Keyframes selected" line times scoring plus selection, as it does
    // when the frames are scored after decoding: start its clock earlier by
    // the time already spent scoring.
    result.keyframes = SelectFromScores(sink.TakeEntries(), max_keyframes, verbose,
                                        select_start - stats->sink_time);
  }
  result.analysis_time = stats->sink_time + (Clock::now() - select_start);
  return result;
}

VideoResult<PerformanceResult> run_performance_test(const std::string& video_path,
                                                    uint64_t max_keyframes,
                                                    const std::string& test_name,
                                                    const std::string& ffmpeg_path, bool use_simd,
                                                    uint64_t block_size, bool verbose) {
  if (verbose) {
    // Joined as a string, not through %s, so that a name holding a NUL is
    // printed whole.
    WriteAll(STDOUT_FILENO,
             "Run test: " + test_name +
                 Format(" (max_keyframes=%llu)\n", static_cast<unsigned long long>(max_keyframes)));
  }
  const Clock::time_point run_start = Clock::now();
  auto selection =
      DecodeAndSelect(video_path, ffmpeg_path, max_keyframes, use_simd, block_size, verbose);
  if (!selection) return std::unexpected(std::move(selection.error()));
  const double total_time_ms = ElapsedMs(run_start);

  PerformanceResult record;
  record.test_name = test_name;
  record.video_file = VideoFileName(video_path);
  record.total_time_ms = total_time_ms;
  record.frame_extraction_time_ms = DurationMs(selection->reading_time);
  record.keyframe_analysis_time_ms = DurationMs(selection->analysis_time);
  record.total_frames = selection->total_frames;
  record.keyframes_extracted = selection->keyframes.size();
  // Kept exactly as computed: no frames gives a NaN ratio and 0 fps.
  const double frames = static_cast<double>(record.total_frames);
  record.keyframe_ratio = static_cast<double>(record.keyframes_extracted) / frames * 100.0;
  record.processing_fps = frames / (total_time_ms / 1000.0);
  record.max_keyframes_requested = max_keyframes;
  record.optimization_type = OptimizationLabel(use_simd, block_size);
  record.simd_enabled = use_simd;
  record.threads_used = ActualThreadCount();
  record.timestamp = LocalTimestamp();

  if (verbose) {
    PrintOut("Result: frames=%llu keyframes=%llu requested=%llu time_ms=%.2f fps=%.1f\n",
             static_cast<unsigned long long>(record.total_frames),
             static_cast<unsigned long long>(record.keyframes_extracted),
             static_cast<unsigned long long>(max_keyframes), record.total_time_ms,
             record.processing_fps);
  }
  return record;
}

}  // namespace velmar::video
