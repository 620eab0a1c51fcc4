#pragma once

// In-process decoding of a video file's first video stream with FFmpeg's
// libraries, frame by frame.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "video/video_error.hpp"

struct AVFrame;
struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVStream;

namespace velmar::video {

// Largest picture a scan accepts by default, in pixels (2^27: 16384 x 8192,
// a 512 MiB colour frame). A header or a picture may claim any size; a scan
// refuses one above its limit before allocating the frame.
inline constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 27;

// What the container says about the stream before any frame is decoded.
struct StreamInfo {
  uint64_t width = 0;
  uint64_t height = 0;
  double fps = 0.0;             // the stream's guessed frame rate, 0 when unknown
  double duration = 0.0;        // seconds, 0 when unknown
  uint64_t expected_frames = 0; // from the header or duration x fps, 0 when unknown
  // Clockwise degrees (0, 90, 180, 270) that turn the pictures upright, from
  // the stream's display matrix, as the ffmpeg program turns them.
  int rotation = 0;
};

// Owns an AVFrame (av_frame_free on destruction).
struct AvFrameDeleter {
  void operator()(AVFrame* frame) const;
};
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
AvFramePtr NewAvFrame();
// A new reference to the same picture buffers (no copy).
AvFramePtr RefAvFrame(const AVFrame* frame);

// How exactly pictures are decoded.
enum class DecodeFidelity {
  // Every picture as the ffmpeg program decodes it.
  kExact,
  // Bidirectional (B) pictures skip the in-loop deblocking filter, which
  // saves 10 to 15% of an H.264 decode. No other picture predicts from a B
  // picture in the usual stream layout (and where one does, only other B
  // pictures), so I and P pictures stay exact; B pictures differ from the
  // exact ones by faint block edges that a frame difference averages away.
  kExactReferences,
};

class AvDecoder {
 public:
  // Opens `path` and its first video stream that is not an attached picture,
  // with a decoder that runs on all cores. Errors carry the reason a user
  // can act on: no such file, not a video FFmpeg can open, no video stream,
  // pictures of more than `max_pixels` (refused before any is decoded).
  static VideoResult<std::unique_ptr<AvDecoder>> Open(
      const std::string& path, DecodeFidelity fidelity = DecodeFidelity::kExact,
      uint64_t max_pixels = kDefaultMaxPixels);
  ~AvDecoder();
  AvDecoder(const AvDecoder&) = delete;
  AvDecoder& operator=(const AvDecoder&) = delete;

  const StreamInfo& info() const { return info_; }

  // Decodes the next picture into `frame` (unreferenced first). Returns
  // true with a picture, false at the end of the stream. A stream the
  // demuxer cannot read on fails; a packet the decoder rejects is skipped,
  // as the ffmpeg program does, unless no picture at all could be decoded.
  VideoResult<bool> Next(AVFrame* frame, uint64_t frames_so_far);

  // Moves to the key frame at or before `seconds` from the stream's start:
  // Next then decodes from there. Fails when the container cannot seek.
  VideoResult<void> SeekBefore(double seconds);

  // Seconds of `frame`'s own timestamp from the stream's start; for a frame
  // without a timestamp, `fallback`.
  double FrameTime(const AVFrame* frame, double fallback) const;

  // Seconds `frame` lasts by its own duration; 0 when it carries none.
  double FrameDuration(const AVFrame* frame) const;

 private:
  AvDecoder() = default;
  // The steps of Open: the container and its stream list, the stream to
  // decode, its decoder, and what the container says about it.
  VideoResult<void> OpenContainer(const std::string& path);
  VideoResult<AVStream*> PickStream(const std::string& path);
  VideoResult<void> OpenCodec(const std::string& path, const AVStream* stream,
                              DecodeFidelity fidelity);
  void ReadStreamInfo(const AVStream* stream);
  // The decoder's buffer allocation (get_buffer2), on any decoding thread.
  static int GetBuffer(AVCodecContext* codec, AVFrame* frame, int flags);
  // The error for a picture GetBuffer refused, if it refused one.
  std::optional<VideoError> Refusal() const;

  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  int stream_index_ = -1;
  int64_t start_pts_ = 0;
  uint64_t max_pixels_ = kDefaultMaxPixels;
  std::atomic<uint64_t> refused_size_{0};  // width << 32 | height of a refused picture
  double time_base_ = 0.0;
  double time_base_num_ = 0.0;
  double time_base_den_ = 1.0;
  bool draining_ = false;
  int last_decode_error_ = 0;
  uint64_t decode_errors_ = 0;
  StreamInfo info_;
};

// The error for a picture of `width` x `height` above `max_pixels`.
VideoError TooManyPixels(uint64_t width, uint64_t height, uint64_t max_pixels);

// The libraries print to stderr by default; a library inside a Python
// program stays quiet and reports through its errors instead. Called before
// any file is opened.
void QuietLibraries();

// Fails with a reason a user can act on before FFmpeg gets to guess one: a
// missing file, a directory, a file we may not read.
VideoResult<void> CheckReadable(const std::string& path);

// The error for a file FFmpeg could not open (code from the failed call),
// with the library's own reason when it gave one.
VideoError CannotOpen(const std::string& path, int code);

// A readable text for an FFmpeg error code.
std::string AvErrorText(int code);

}  // namespace velmar::video
