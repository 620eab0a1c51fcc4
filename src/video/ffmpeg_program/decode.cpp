// Decoding: ffmpeg writes raw 8-bit gray frames back to back on a pipe; we
// cut the stream into frames and hand each to a sink.

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "common/memory_pages.hpp"
#include "common/output.hpp"
#include "common/panic.hpp"
#include "video/ffmpeg_program/decode.hpp"
#include "video/ffmpeg_program/subprocess.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of a frame a sink-supplied buffer is grown by ahead of the reads
// (see CollectSink): small enough that a freshly mapped step is still in the
// cache when the pipe's bytes are copied to it.
constexpr size_t kFillStep = 128 << 10;

// Assembles frames from the decoder pipe. Small frames are served from one
// large read buffer (a few big reads instead of many small ones); while at
// least kDirectRead bytes of a frame are still missing, reads go straight
// into the frame instead, saving a copy: a read that size already costs
// little per byte.
class FrameReader {
 public:
  explicit FrameReader(Subprocess& decoder)
      : decoder_(decoder), buffer_(std::make_unique_for_overwrite<uint8_t[]>(kSize)) {}

  // Fills a frame of `size` bytes front to back. `ready(n)` returns the
  // frame's memory with at least its first n bytes writable; no read or copy
  // goes more than `step` bytes beyond what is filled. False at end of stream
  // before the frame is full, or on a read error; the bytes of the incomplete
  // frame are then dropped.
  template <typename Ready>
  bool Fill(size_t size, size_t step, Ready&& ready) {
    size_t filled = 0;
    while (filled < size) {
      const size_t missing = size - filled;
      if (begin_ < end_) {
        const size_t take = std::min({missing, end_ - begin_, step});
        std::memcpy(ready(filled + take) + filled, buffer_.get() + begin_, take);
        begin_ += take;
        filled += take;
        continue;
      }
      if (missing >= kDirectRead) {
        const size_t want = std::min(missing, step);
        auto n = decoder_.ReadStdout({ready(filled + want) + filled, want});
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
  static constexpr size_t kDirectRead = 64 << 10;
  Subprocess& decoder_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  size_t end_ = 0;
};

// Keeps every frame. Each frame is read straight into the buffer of its
// record, which grows a step at a time just ahead of the reads: there is no
// copy out of a decoder buffer, and each fresh page is written while the
// kernel's zeroing of it is still in the cache. (Mapping in a whole 1080p
// frame at once and then filling it finds its first pages evicted again.)
// The first frame's buffer grows by doubling, since until its bytes have
// arrived the probed size is only a claim; once one whole frame has
// arrived, each later one reserves its padded size up front and never moves.
class CollectSink final : public FrameSink {
 public:
  void OnDimensions(Dimensions dimensions) override {
    dimensions_ = dimensions;
    frame_size_ = static_cast<size_t>(dimensions.width * dimensions.height);
  }

  std::span<uint8_t> FrameBuffer(uint64_t /*frame_number*/, size_t size) override {
    // Room for the padding up front, so Make pads without reallocating.
    if (pending_.capacity() == 0 && !frames_.empty()) pending_.reserve(VideoFrame::PaddedSize(frame_size_));
    const size_t have = pending_.size();
    if (size > have) {
      if (size > pending_.capacity()) {
        const size_t padded = VideoFrame::PaddedSize(frame_size_);
        pending_.reserve(size == frame_size_ ? padded
                                             : std::min(std::max(size, 2 * pending_.capacity()), padded));
      }
      Prefault(pending_.data() + have, size - have);
      pending_.resize(size);
    }
    return pending_;
  }

  // `pixels` is the whole of pending_ (the decoder asked for every byte).
  void OnFrame(uint64_t frame_number, std::span<const uint8_t> /*pixels*/) override {
    frames_.push_back(VideoFrame::Make(frame_number, dimensions_.width, dimensions_.height,
                                       std::exchange(pending_, {})));
  }

  std::vector<VideoFrame> TakeFrames() { return std::move(frames_); }

 private:
  Dimensions dimensions_;
  size_t frame_size_ = 0;
  std::vector<uint8_t> pending_;  // the frame being read; dropped if cut short
  std::vector<VideoFrame> frames_;
};

// Reads frame `number` of `frame_size` bytes: into the sink's own memory
// when it supplies some, else into buffers[number % 2]. Null when the stream
// ends (or a read fails) before the frame is complete.
const uint8_t* ReadFrame(FrameReader& reader, FrameSink& sink, uint64_t number, size_t frame_size,
                         std::vector<uint8_t> (&buffers)[2]) {
  uint8_t* frame = nullptr;
  bool complete = false;
  const size_t first_step = std::min(frame_size, kFillStep);
  if (std::span<uint8_t> first = sink.FrameBuffer(number, first_step); !first.empty()) {
    auto supplied = [&](std::span<uint8_t> buffer, size_t size) {
      if (buffer.size() < size) {
        throw Panic(Format("FrameSink::FrameBuffer gave %zu bytes for %zu", buffer.size(), size));
      }
      frame = buffer.data();
      return frame;
    };
    supplied(first, first_step);
    complete = reader.Fill(frame_size, kFillStep, [&](size_t size) {
      return supplied(sink.FrameBuffer(number, size), size);
    });
  } else {
    std::vector<uint8_t>& own = buffers[number % 2];
    // A buffer that already holds a whole frame takes reads of any size.
    const size_t step = own.size() >= frame_size ? frame_size : kFillStep;
    complete = reader.Fill(frame_size, step, [&](size_t size) {
      if (own.size() < size) own.resize(size);
      return own.data();
    });
    frame = own.data();
  }
  return complete ? frame : nullptr;
}

}  // namespace

std::vector<std::string> DecodeCommand(const std::string& video_path,
                                       const std::string& ffmpeg_path, const std::string& map) {
  std::vector<std::string> command{ffmpeg_path, "-i", video_path};
  // Without a mapping ffmpeg decodes the stream it prefers (the default or
  // the largest), which need not be the one whose size cuts the bytes.
  if (!map.empty()) command.insert(command.end(), {"-map", map});
  command.insert(command.end(), {"-f", "rawvideo", "-pix_fmt", "gray", "-an", "-threads", "0",
                                 "-preset", "ultrafast", "-"});
  return command;
}

VideoResult<DecodeStats> DecodeFrames(const std::string& video_path,
                                      const std::string& ffmpeg_path, bool verbose,
                                      FrameSink& sink) {
  if (verbose) PrintOut("Extracting frames (full video): %s\n", video_path.c_str());
  auto stream = ProbeVideoStream(video_path, ffmpeg_path);
  if (!stream) return std::unexpected(std::move(stream.error()));
  const Dimensions dims = stream->dimensions;
  if (verbose) {
    PrintOut("Dimensions: %llux%llu\n", static_cast<unsigned long long>(dims.width),
             static_cast<unsigned long long>(dims.height));
  }
  sink.OnDimensions(dims);

  const Clock::time_point start = Clock::now();
  // stdin is the null device: ffmpeg reads its stdin for interactive
  // commands and would otherwise eat input meant for the caller.
  auto decoder = Subprocess::Spawn(DecodeCommand(video_path, ffmpeg_path, stream->map),
                                   {Stdio::kNull, Stdio::kPipe, Stdio::kNull});
  if (!decoder) {
    return std::unexpected(VideoError{"Failed to spawn FFmpeg process", decoder.error().cause});
  }
  decoder->GrowStdoutPipe(static_cast<int>(PIPE_READ_BUFFER_SIZE));

  // The probe accepts only sizes that fit a buffer, so this cannot overflow.
  const size_t frame_size = static_cast<size_t>(dims.width * dims.height);
  // Two frame buffers, used in turn: the previous frame stays intact while
  // the next one is read (see FrameSink::OnFrame). Used only when the sink
  // supplies no memory of its own. Each grows with the bytes that arrive
  // (the probe's size is a claim, not a fact) until it holds a whole frame.
  std::vector<uint8_t> buffers[2];
  if (verbose) PrintOut("Frame size: %zu bytes\n", frame_size);

  FrameReader reader(*decoder);
  DecodeStats stats;
  stats.dimensions = dims;
  for (;;) {
    const uint64_t number = stats.frame_count;
    const uint8_t* frame = ReadFrame(reader, sink, number, frame_size, buffers);
    if (frame == nullptr) break;
    const Clock::time_point sink_start = Clock::now();
    sink.OnFrame(number, {frame, frame_size});
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
