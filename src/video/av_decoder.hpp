#pragma once

// In-process decoding of a video file's first video stream with FFmpeg's
// libraries, frame by frame, plus the conversion of decoded pictures to the
// 8-bit gray bytes that `ffmpeg -pix_fmt gray` would write.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "video/video_error.hpp"

struct AVFrame;
struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct SwsContext;

namespace velmar::video {

// Largest picture the scanner accepts, in pixels. A header may claim any
// size; nothing is allocated for a claim above this (16384 x 16384).
inline constexpr uint64_t kMaxScanPixels = uint64_t{16384} * 16384;

// What the container says about the stream before any frame is decoded.
struct StreamInfo {
  uint64_t width = 0;
  uint64_t height = 0;
  double fps = 0.0;             // the stream's guessed frame rate, 0 when unknown
  double duration = 0.0;        // seconds, 0 when unknown
  uint64_t expected_frames = 0; // from the header or duration x fps, 0 when unknown
};

// Owns an AVFrame (av_frame_free on destruction).
struct AvFrameDeleter {
  void operator()(AVFrame* frame) const;
};
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
AvFramePtr NewAvFrame();
// A new reference to the same picture buffers (no copy).
AvFramePtr RefAvFrame(const AVFrame* frame);

class AvDecoder {
 public:
  // Opens `path` and its first video stream that is not an attached picture,
  // with a decoder that runs on all cores. Errors carry the reason a user
  // can act on: no such file, not a video FFmpeg can open, no video stream.
  static VideoResult<std::unique_ptr<AvDecoder>> Open(const std::string& path);
  ~AvDecoder();
  AvDecoder(const AvDecoder&) = delete;
  AvDecoder& operator=(const AvDecoder&) = delete;

  const StreamInfo& info() const { return info_; }

  // Decodes the next picture into `frame` (unreferenced first). Returns
  // true with a picture, false at the end of the stream. A stream the
  // demuxer cannot read on fails; a packet the decoder rejects is skipped,
  // as the ffmpeg program does, unless no picture at all could be decoded.
  VideoResult<bool> Next(AVFrame* frame, uint64_t frames_so_far);

  // Seconds of `frame`'s own timestamp from the stream's start; for a frame
  // without a timestamp, `fallback`.
  double FrameTime(const AVFrame* frame, double fallback) const;

 private:
  AvDecoder() = default;
  VideoResult<bool> ReceiveOrFeed(AVFrame* frame, uint64_t frames_so_far);

  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  int stream_index_ = -1;
  int64_t start_pts_ = 0;
  double time_base_ = 0.0;
  double time_base_num_ = 0.0;
  double time_base_den_ = 1.0;
  bool draining_ = false;
  int last_decode_error_ = 0;
  uint64_t decode_errors_ = 0;
  StreamInfo info_;
};

// Turns decoded pictures into 8-bit gray bytes identical to what
// `ffmpeg -pix_fmt gray` writes: the Y plane itself for full-range 8-bit
// YUV, a 256-entry table for limited-range 8-bit YUV, swscale for every
// other format. With `downscale` > 1 the gray picture is then shrunk by
// averaging downscale x downscale blocks (the right and bottom remainders
// are dropped).
class GrayConverter {
 public:
  explicit GrayConverter(uint64_t downscale) : downscale_(downscale) {}
  ~GrayConverter();
  GrayConverter(const GrayConverter&) = delete;
  GrayConverter& operator=(const GrayConverter&) = delete;

  // Writes the gray picture into `out` (resized to the output size, padded
  // with zeros to a multiple of 32 bytes), and its size into `width` and
  // `height`. Fails for a picture that is too large or that the downscale
  // factor leaves empty.
  VideoResult<void> Convert(const AVFrame* frame, std::vector<uint8_t>* out, uint64_t* width,
                            uint64_t* height);

 private:
  uint64_t downscale_;
  SwsContext* sws_ = nullptr;
  std::vector<uint8_t> full_;     // the full-size gray picture when downscaling
  std::vector<uint8_t> scratch_;  // swscale's aligned output
};

// The 8-bit limited-range (16..235) to full-range (0..255) luma expansion
// that swscale applies when it writes gray: clip(round((y - 16) * 255 / 219)).
const uint8_t* LimitedToFullLuma();

// dst[i] = LimitedToFullLuma()[src[i]] for i < n, sixteen samples at a time.
void ExpandLimitedLuma(const uint8_t* src, uint8_t* dst, size_t n);

// True when the picture's samples are limited ("TV") range.
bool IsLimitedRange(const AVFrame* frame);

// A readable text for an FFmpeg error code.
std::string AvErrorText(int code);

}  // namespace velmar::video
