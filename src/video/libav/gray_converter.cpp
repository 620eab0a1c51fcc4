#include "video/libav/gray_converter.hpp"

#include <algorithm>
#include <array>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/macros.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "common/output.hpp"
#include "video/frame.hpp"
#include "video/libav/box_downscale.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/luma.hpp"

namespace velmar::video {

namespace {

VideoError Fail(std::string message) {
  return VideoError::Of(ErrorKind::kInvalidData, std::move(message));
}

// 8-bit formats whose first plane is the luma plane, one byte per sample.
// For these, ffmpeg's gray output is that plane, range-expanded when limited.
bool HasPlainLumaPlane(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUV440P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUV410P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_NV21:
      return true;
    default:
      return false;
  }
}

bool IsJpegFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return false;
  }
}

std::array<uint8_t, 256> MakeLumaTable() {
  std::array<uint8_t, 256> table{};
  for (int y = 0; y < 256; ++y) {
    // (y - 16) * 255 / 219 never lies exactly half-way between two integers
    // (219 is odd), so rounding half up is plain rounding here.
    const int v = y <= 16 ? 0 : ((y - 16) * 510 + 219) / 438;
    table[static_cast<size_t>(y)] = static_cast<uint8_t>(std::min(v, 255));
  }
  return table;
}

// The luma plane of an 8-bit YUV picture as gray rows, back to back.
void CopyLumaPlane(const AVFrame* frame, size_t w, size_t h, uint8_t* dst) {
  const uint8_t* src = frame->data[0];
  if (IsLimitedRange(frame)) {
    for (size_t y = 0; y < h; ++y, src += frame->linesize[0], dst += w) {
      ExpandLimitedLuma(src, dst, w);
    }
  } else {
    for (size_t y = 0; y < h; ++y, src += frame->linesize[0], dst += w) std::memcpy(dst, src, w);
  }
}

}  // namespace

const uint8_t* LimitedToFullLuma() {
  static const std::array<uint8_t, 256> table = MakeLumaTable();
  return table.data();
}

bool IsLimitedRange(const AVFrame* frame) {
  if (IsJpegFormat(frame->format)) return false;
  return frame->color_range != AVCOL_RANGE_JPEG;
}

GrayConverter::~GrayConverter() { sws_freeContext(sws_); }

VideoResult<void> GrayConverter::Convert(const AVFrame* frame, std::vector<uint8_t>* out,
                                         uint64_t* out_width, uint64_t* out_height) {
  if (frame->width <= 0 || frame->height <= 0) return std::unexpected(Fail("a frame has no pixels"));
  const size_t w = static_cast<size_t>(frame->width);
  const size_t h = static_cast<size_t>(frame->height);
  if (uint64_t{w} * h > max_pixels_) return std::unexpected(TooManyPixels(w, h, max_pixels_));
  const size_t ow = w / downscale_;
  const size_t oh = h / downscale_;
  if (ow == 0 || oh == 0) {
    return std::unexpected(Fail(Format("downscale %llu leaves no pixels of a %zux%zu video",
                                       static_cast<unsigned long long>(downscale_), w, h)));
  }
  *out_width = ow;
  *out_height = oh;
  std::vector<uint8_t>* gray = downscale_ == 1 ? out : &full_;
  // Resizing to the same size keeps the zero padding written before.
  gray->resize(VideoFrame::PaddedSize(w * h));
  std::fill(gray->begin() + static_cast<ptrdiff_t>(w * h), gray->end(), 0);

  if (HasPlainLumaPlane(frame->format)) {
    CopyLumaPlane(frame, w, h, gray->data());
  } else if (auto converted = ConvertWithSwscale(frame, gray); !converted) {
    return converted;
  }
  if (downscale_ > 1) BoxDownscale(full_.data(), w, h, static_cast<size_t>(downscale_), out);
  return {};
}

VideoResult<void> GrayConverter::ConvertWithSwscale(const AVFrame* frame,
                                                    std::vector<uint8_t>* gray) {
  const size_t w = static_cast<size_t>(frame->width);
  const size_t h = static_cast<size_t>(frame->height);
  // The ffmpeg program's flags, so dithering and rounding are the program's own.
  const auto format = static_cast<AVPixelFormat>(frame->format);
  sws_ = sws_getCachedContext(sws_, frame->width, frame->height, format, frame->width,
                              frame->height, AV_PIX_FMT_GRAY8, SWS_BICUBIC, nullptr, nullptr,
                              nullptr);
  if (sws_ == nullptr) {
    return std::unexpected(Fail(std::string("cannot convert frames of pixel format ") +
                                (av_get_pix_fmt_name(format) ? av_get_pix_fmt_name(format) : "?") +
                                " to gray"));
  }
  if (frame->color_range != AVCOL_RANGE_UNSPECIFIED) {
    int *inv_table = nullptr, *table = nullptr;
    int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(sws_, &inv_table, &src_range, &table, &dst_range, &brightness,
                                 &contrast, &saturation) >= 0) {
      src_range = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
      sws_setColorspaceDetails(sws_, inv_table, src_range, table, dst_range, brightness,
                               contrast, saturation);
    }
  }
  // swscale writes whole aligned chunks, so it gets an aligned scratch
  // picture whose rows are then copied out.
  const int stride = FFALIGN(frame->width, 64);
  scratch_.resize(static_cast<size_t>(stride) * (h + 1) + 64);
  uint8_t* dst_planes[4] = {scratch_.data(), nullptr, nullptr, nullptr};
  int dst_strides[4] = {stride, 0, 0, 0};
  sws_scale(sws_, frame->data, frame->linesize, 0, frame->height, dst_planes, dst_strides);
  for (size_t y = 0; y < h; ++y) {
    std::memcpy(gray->data() + y * w, scratch_.data() + y * static_cast<size_t>(stride), w);
  }
  return {};
}

}  // namespace velmar::video
