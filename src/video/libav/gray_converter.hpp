#pragma once

// The conversion of decoded pictures to the 8-bit gray bytes that
// `ffmpeg -pix_fmt gray` would write.

#include <cstdint>
#include <vector>

#include "video/video_error.hpp"

struct AVFrame;
struct SwsContext;

namespace velmar::video {

// Turns decoded pictures into 8-bit gray bytes identical to what
// `ffmpeg -pix_fmt gray` writes: the Y plane itself for full-range 8-bit
// YUV, the limited-range expansion for limited-range 8-bit YUV, swscale for
// every other format. With `downscale` > 1 the gray picture is then shrunk
// by averaging downscale x downscale blocks (BoxDownscale). Pictures of
// more than `max_pixels` are refused.
class GrayConverter {
 public:
  GrayConverter(uint64_t downscale, uint64_t max_pixels)
      : downscale_(downscale), max_pixels_(max_pixels) {}
  ~GrayConverter();
  GrayConverter(const GrayConverter&) = delete;
  GrayConverter& operator=(const GrayConverter&) = delete;

  // Writes the gray picture into `out` (resized to the output size, padded
  // with zeros as VideoFrame pads), and its size into `width` and `height`.
  // Fails for a picture that is too large or that the downscale factor
  // leaves empty.
  VideoResult<void> Convert(const AVFrame* frame, std::vector<uint8_t>* out, uint64_t* width,
                            uint64_t* height);

 private:
  // The full-size gray picture of `frame` into `gray` through swscale.
  VideoResult<void> ConvertWithSwscale(const AVFrame* frame, std::vector<uint8_t>* gray);

  uint64_t downscale_;
  uint64_t max_pixels_;
  SwsContext* sws_ = nullptr;
  std::vector<uint8_t> full_;     // the full-size gray picture when downscaling
  std::vector<uint8_t> scratch_;  // swscale's aligned output
};

// True when the picture's samples are limited ("TV") range.
bool IsLimitedRange(const AVFrame* frame);

}  // namespace velmar::video
