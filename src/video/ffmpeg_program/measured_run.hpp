#pragma once

// Decoding with keyframe selection on the fly, and the measured run built on
// it. Frames are scored against the frame before them as the decoder hands
// them over, so a run holds two frames and one score per frame, never the
// whole video: a ten-minute 1080p video would need 37 GB as a frame list.

#include <chrono>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "video/ffmpeg_program/decode.hpp"
#include "video/frame.hpp"
#include "video/selection.hpp"
#include "video/performance.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// Scores each decoded frame against the one before it, keeping only the
// previous frame and the pair entries ({i + 1, score of frames i and i + 1},
// the input of SelectFromScores). With `score` false it keeps nothing.
// A failure of the difference kernel (velmar::Panic, e.g. block size 0) does
// not end decoding: scoring stops, the decoder is drained and reaped as
// usual, and the caller rethrows it afterwards (RethrowFailure).
class ScoringSink final : public FrameSink {
 public:
  ScoringSink(bool score, bool use_simd, uint64_t block_size);

  void OnDimensions(Dimensions dimensions) override;
  void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) override;
  std::span<uint8_t> FrameBuffer(uint64_t frame_number, size_t size) override;

  // True when the kernel failed on some pair.
  bool Failed() const { return failure_ != nullptr; }
  // Rethrows the kernel failure, if there was one.
  void RethrowFailure() const;

  std::vector<PairEntry> TakeEntries() { return std::move(entries_); }

 private:
  bool scoring_;
  bool use_simd_;
  uint64_t block_size_;
  // The two records are reused for every frame: the decoder reads the new
  // frame straight into `current_`, it is scored against `previous_`, then
  // the two are swapped, so the buffers are allocated once per run and no
  // frame is copied.
  VideoFrame previous_;
  VideoFrame current_;
  bool has_previous_ = false;
  size_t frame_size_ = 0;
  std::vector<PairEntry> entries_;
  std::exception_ptr failure_;
};

// What one decode with streamed selection produced, and how long it took.
struct StreamedSelection {
  uint64_t total_frames = 0;
  std::vector<uint64_t> keyframes;  // ascending positions (= frame numbers)
  // Wall time of decoding, less the time the sink spent scoring.
  std::chrono::nanoseconds reading_time{0};
  // Scoring (inside decoding) plus the selection after it.
  std::chrono::nanoseconds analysis_time{0};
};

// Decodes `video_path` and selects its keyframes exactly as
// select_keyframes would on the full frame list, with the same progress
// lines in the same order: the decoder's lines, then "Keyframe analysis
// target" and "Keyframes selected". Decoding errors are returned unchanged.
// A kernel failure is thrown (velmar::Panic) once the decoder has been
// reaped, after the "Keyframe analysis target" line.
VideoResult<StreamedSelection> DecodeAndSelect(const std::string& video_path,
                                               const std::string& ffmpeg_path,
                                               uint64_t max_keyframes, bool use_simd,
                                               uint64_t block_size, bool verbose);

// The measured run: decodes and selects, times both phases and fills the
// fourteen fields of the record. Prints "Run test" before and "Result" after
// when `verbose`. Decoding errors are returned unchanged; a kernel failure
// is thrown (no "Result" line then).
VideoResult<PerformanceResult> run_performance_test(const std::string& video_path,
                                                    uint64_t max_keyframes,
                                                    const std::string& test_name,
                                                    const std::string& ffmpeg_path, bool use_simd,
                                                    uint64_t block_size, bool verbose);

}  // namespace velmar::video
