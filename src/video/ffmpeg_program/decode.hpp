#pragma once

// Decoding through the ffmpeg program: raw 8-bit gray frames on a pipe, cut
// into frames and handed to a sink one by one. The child is started from an
// explicit argument vector and reaped before the call returns, on every path.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "video/ffmpeg_program/probe.hpp"
#include "video/frame.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// Bytes taken from the decoder pipe per read while a frame is assembled.
inline constexpr size_t PIPE_READ_BUFFER_SIZE = 1 << 20;

// The decode command line: raw 8-bit gray frames on stdout, of the stream
// `map` ("0:N") when it is not empty.
std::vector<std::string> DecodeCommand(const std::string& video_path,
                                       const std::string& ffmpeg_path,
                                       const std::string& map = {});

// Receives decoded frames one by one, in decoding order.
class FrameSink {
 public:
  virtual ~FrameSink() = default;

  // Called once after probing, before the decoder starts.
  virtual void OnDimensions(Dimensions /*dimensions*/) {}

  // `pixels` holds exactly width*height bytes of frame `frame_number`
  // (0, 1, 2, ...). The decoder alternates between two frame buffers, so the
  // span of frame n stays valid until the OnFrame call of frame n + 1 has
  // returned: a sink that compares each frame with the one before it needs
  // no copy. An exception thrown here ends decoding; the decoder child is
  // killed and reaped before it propagates.
  virtual void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) = 0;

  // Optional, for a sink that keeps frames: the memory frame `frame_number`
  // is read into, so that it lands in its final place instead of being
  // copied there out of a decoder buffer. The decoder fills a frame front to
  // back in steps. Before each step it asks for a buffer whose first `size`
  // bytes are writable and whose earlier bytes hold what was filled so far;
  // the sink returns at least that many bytes (it may move the buffer to
  // grow it). The first request comes before anything of the frame is read
  // and asks for at most one step; later ones grow up to width*height (one
  // may repeat or ask for less than an earlier one, which changes nothing).
  // OnFrame then gets the first width*height bytes of the buffer. Growing
  // step by step keeps memory in line with the bytes that really arrived
  // (the probe's size is only a claim), and lets the sink map in fresh
  // memory just before the pipe's bytes are copied to it, while it is still
  // in the cache. A frame cut short by the end of the stream gets no
  // OnFrame call. An empty span at the first request (the default) makes
  // the decoder read that frame into its own two alternating buffers, as
  // described at OnFrame. A step's request returning fewer bytes is a Panic.
  virtual std::span<uint8_t> FrameBuffer(uint64_t /*frame_number*/, size_t /*size*/) {
    return {};
  }
};

struct DecodeStats {
  Dimensions dimensions;
  uint64_t frame_count = 0;  // complete frames handed to the sink
  // Time spent inside FrameSink::OnFrame. The decoder's own time (probing,
  // reading, waiting) is the caller's wall time around DecodeFrames minus this
  // (FrameSink::FrameBuffer calls count as reading).
  std::chrono::nanoseconds sink_time{0};
};

// Probes `video_path`, runs the decoder and hands every complete frame to
// `sink`. Prints "Extracting frames", "Dimensions", "Frame size",
// "Processed N frames" (every 1000) and "Done" lines when `verbose`; the
// "Done" line is the last thing it prints. A short last frame, a read error
// or a failing decoder status end the frames without an error. The decoder
// is reaped before this returns. Errors: the two probe errors and "Failed
// to spawn FFmpeg process". Throws velmar::Interrupted on Ctrl-C.
VideoResult<DecodeStats> DecodeFrames(const std::string& video_path,
                                      const std::string& ffmpeg_path, bool verbose,
                                      FrameSink& sink);

struct ExtractedFrames {
  std::vector<VideoFrame> frames;
  uint64_t width = 0;
  uint64_t height = 0;
};

// Every frame of the video, each a padded copy (VideoFrame::Make).
VideoResult<ExtractedFrames> extract_all_frames(const std::string& video_path,
                                                const std::string& ffmpeg_path, bool verbose);

}  // namespace velmar::video
