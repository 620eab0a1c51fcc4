// Decoding: ffmpeg writes raw 8-bit gray frames back to back on a pipe; we
// cut the stream into frames and hand each to a sink.

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/output.hpp"
#include "video/ffmpeg.hpp"
#include "video/subprocess.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;

// Assembles frames from the decoder pipe. Small frames are served from one
// large read buffer (a few big reads instead of many small ones); while at
// least a whole read buffer's worth of a frame is still missing, reads go
// straight into the frame instead, saving a copy.
class FrameReader {
 public:
  explicit FrameReader(Subprocess& decoder)
      : decoder_(decoder), buffer_(std::make_unique_for_overwrite<uint8_t[]>(kSize)) {}

  // Fills `frame` completely. False at end of stream before it is full, or on
  // a read error; the bytes of the incomplete frame are then dropped.
  bool Fill(std::span<uint8_t> frame) {
    size_t filled = 0;
    while (filled < frame.size()) {
      const size_t missing = frame.size() - filled;
      if (begin_ < end_) {
        const size_t take = std::min(missing, end_ - begin_);
        std::memcpy(frame.data() + filled, buffer_.get() + begin_, take);
        begin_ += take;
        filled += take;
        continue;
      }
      if (missing >= kSize) {
        auto n = decoder_.ReadStdout(frame.subspan(filled));
        if (!n || *n == 0) return false;
        filled += *n;
      } else {
        auto n = decoder_.ReadStdout({buffer_.get(), kSize});
        if (!n || *n == 0) return false;
        begin_ = 0;
        end_ = *n;
      }
    }
    return true;
  }

 private:
  static constexpr size_t kSize = PIPE_READ_BUFFER_SIZE;
  Subprocess& decoder_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  size_t end_ = 0;
};

// Maps in the pages of a new buffer with one call instead of one page fault
// per 4 KiB page as the copy first touches them. Best effort.
void Prefault(uint8_t* data, size_t size) {
  const uintptr_t page = 4096;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

class CollectSink final : public FrameSink {
 public:
  void OnDimensions(Dimensions dimensions) override { dimensions_ = dimensions; }

  void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) override {
    // Room for the padding up front, so Make pads without reallocating.
    std::vector<uint8_t> data;
    data.reserve((pixels.size() + 31) / 32 * 32);
    Prefault(data.data(), data.capacity());
    data.assign(pixels.begin(), pixels.end());
    frames_.push_back(VideoFrame::Make(frame_number, dimensions_.width, dimensions_.height,
                                       std::move(data)));
  }

  std::vector<VideoFrame> TakeFrames() { return std::move(frames_); }

 private:
  Dimensions dimensions_;
  std::vector<VideoFrame> frames_;
};

}  // namespace

std::vector<std::string> DecodeCommand(const std::string& video_path,
                                       const std::string& ffmpeg_path) {
  return {ffmpeg_path, "-i",  video_path, "-f",     "rawvideo",  "-pix_fmt", "gray",
          "-an",       "-threads", "0",   "-preset", "ultrafast", "-"};
}

VideoResult<DecodeStats> DecodeFrames(const std::string& video_path,
                                      const std::string& ffmpeg_path, bool verbose,
                                      FrameSink& sink) {
  if (verbose) PrintOut("Extracting frames (full video): %s\n", video_path.c_str());
  auto dims = probe_video_dimensions(video_path, ffmpeg_path);
  if (!dims) return std::unexpected(std::move(dims.error()));
  if (verbose) {
    PrintOut("Dimensions: %llux%llu\n", static_cast<unsigned long long>(dims->width),
             static_cast<unsigned long long>(dims->height));
  }
  sink.OnDimensions(*dims);

  const Clock::time_point start = Clock::now();
  // stdin is the null device: ffmpeg reads its stdin for interactive
  // commands and would otherwise eat input meant for the caller.
  auto decoder = Subprocess::Spawn(DecodeCommand(video_path, ffmpeg_path),
                                   {Stdio::kNull, Stdio::kPipe, Stdio::kNull});
  if (!decoder) {
    return std::unexpected(VideoError{"Failed to spawn FFmpeg process", decoder.error()});
  }
  decoder->GrowStdoutPipe(static_cast<int>(PIPE_READ_BUFFER_SIZE));

  // The probe accepts only sizes that fit a buffer, so this cannot overflow.
  const size_t frame_size = static_cast<size_t>(dims->width * dims->height);
  // Two frame buffers, used in turn: the previous frame stays intact while
  // the next one is read (see FrameSink::OnFrame). Not zero-filled: every
  // byte is written by the pipe before anyone reads it.
  std::unique_ptr<uint8_t[]> buffers[2] = {
      std::make_unique_for_overwrite<uint8_t[]>(frame_size),
      std::make_unique_for_overwrite<uint8_t[]>(frame_size)};
  if (verbose) PrintOut("Frame size: %zu bytes\n", frame_size);

  FrameReader reader(*decoder);
  DecodeStats stats;
  stats.dimensions = *dims;
  for (;;) {
    std::span<uint8_t> frame(buffers[stats.frame_count % 2].get(), frame_size);
    if (!reader.Fill(frame)) break;
    const Clock::time_point sink_start = Clock::now();
    sink.OnFrame(stats.frame_count, frame);
    stats.sink_time += Clock::now() - sink_start;
    ++stats.frame_count;
    if (verbose && stats.frame_count % 1000 == 0) {
      PrintOut("Processed %llu frames\n", static_cast<unsigned long long>(stats.frame_count));
    }
  }

  // After a read error the decoder may still be writing: closing our end
  // makes its next write fail, so the wait below cannot hang on a full pipe.
  decoder->CloseStdout();
  (void)decoder->Wait();  // a failing status still leaves the frames read so far valid
  if (verbose) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    PrintOut("Done: %llu frames in %.2fs\n", static_cast<unsigned long long>(stats.frame_count),
             seconds);
  }
  return stats;
}

VideoResult<ExtractedFrames> extract_all_frames(const std::string& video_path,
                                                const std::string& ffmpeg_path, bool verbose) {
  CollectSink sink;
  auto stats = DecodeFrames(video_path, ffmpeg_path, verbose, sink);
  if (!stats) return std::unexpected(std::move(stats.error()));
  return ExtractedFrames{sink.TakeFrames(), stats->dimensions.width, stats->dimensions.height};
}

}  // namespace velmar::video
