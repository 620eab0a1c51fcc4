#include "video/libav/image_writer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
#include <turbojpeg.h>
}

#include "common/fs.hpp"
#include "common/output.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/gray_converter.hpp"
#include "video/libav/luma.hpp"

namespace velmar::video {

namespace {

VideoError Fail(const std::string& path, const std::string& reason) {
  return VideoError{BaseName(path) + ": " + reason, {}};
}

// Limited-range chroma (16..240 around 128) to the full range JPEG uses.
const uint8_t* LimitedToFullChroma() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
      const long v = 128 + std::lround((c - 128) * 255.0 / 224.0);
      t[static_cast<size_t>(c)] = static_cast<uint8_t>(std::clamp(v, 0L, 255L));
    }
    return t;
  }();
  return table.data();
}

// The libjpeg-turbo subsampling of an 8-bit planar YUV format, or -1.
int Subsampling(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      return TJSAMP_420;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
      return TJSAMP_422;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
      return TJSAMP_444;
    case AV_PIX_FMT_YUV440P:
    case AV_PIX_FMT_YUVJ440P:
      return TJSAMP_440;
    case AV_PIX_FMT_GRAY8:
      return TJSAMP_GRAY;
    default:
      return -1;
  }
}

struct SwsDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};

// A picture converted by swscale into `format`, in buffers it owns.
struct ConvertedPicture {
  std::vector<uint8_t> buffer;
  uint8_t* planes[4] = {};
  int strides[4] = {};
};

VideoResult<void> ConvertPicture(const AVFrame* frame, AVPixelFormat format, const std::string& path,
                                 ConvertedPicture* out) {
  std::unique_ptr<SwsContext, SwsDeleter> sws(sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
      frame->height, format, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
      nullptr, nullptr));
  if (!sws) return std::unexpected(Fail(path, "cannot convert this pixel format"));
  int *inv_table = nullptr, *table = nullptr;
  int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
  if (sws_getColorspaceDetails(sws.get(), &inv_table, &src_range, &table, &dst_range, &brightness,
                               &contrast, &saturation) >= 0) {
    if (frame->color_range != AVCOL_RANGE_UNSPECIFIED) {
      src_range = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    }
    sws_setColorspaceDetails(sws.get(), inv_table, src_range, table, 1, brightness, contrast,
                             saturation);
  }
  const int size = av_image_get_buffer_size(format, frame->width, frame->height, 64);
  if (size < 0) return std::unexpected(Fail(path, "picture too large"));
  out->buffer.resize(static_cast<size_t>(size) + 64);
  av_image_fill_arrays(out->planes, out->strides, out->buffer.data(), format, frame->width,
                       frame->height, 64);
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, out->planes, out->strides);
  return {};
}

// The first `planes` planes of `picture` (each width x height samples of
// `bytes_per_sample` bytes) turned clockwise by `degrees` (90, 180 or 270),
// as the ffmpeg program's transpose and flip filters turn them.
ConvertedPicture Rotated(const ConvertedPicture& picture, int planes, int bytes_per_sample,
                         int width, int height, int degrees) {
  const int out_w = degrees == 180 ? width : height;
  const int out_h = degrees == 180 ? height : width;
  const size_t stride = static_cast<size_t>(out_w) * static_cast<size_t>(bytes_per_sample);
  ConvertedPicture out;
  out.buffer.resize(stride * static_cast<size_t>(out_h) * static_cast<size_t>(planes));
  const size_t bps = static_cast<size_t>(bytes_per_sample);
  for (int p = 0; p < planes; ++p) {
    uint8_t* dst = out.buffer.data() + static_cast<size_t>(p) * stride * static_cast<size_t>(out_h);
    out.planes[p] = dst;
    out.strides[p] = static_cast<int>(stride);
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = picture.planes[p] + static_cast<ptrdiff_t>(y) * picture.strides[p];
      for (int x = 0; x < width; ++x) {
        int dx = 0, dy = 0;
        if (degrees == 90) {
          dx = height - 1 - y;
          dy = x;
        } else if (degrees == 180) {
          dx = width - 1 - x;
          dy = height - 1 - y;
        } else {
          dx = y;
          dy = width - 1 - x;
        }
        std::memcpy(dst + static_cast<size_t>(dy) * stride + static_cast<size_t>(dx) * bps,
                    row + static_cast<size_t>(x) * bps, bps);
      }
    }
  }
  return out;
}

VideoResult<std::vector<uint8_t>> EncodeJpeg(const AVFrame* frame, int rotation, int quality,
                                            const std::string& path) {
  // A turned picture goes through full-resolution chroma, so that every
  // subsampling turns the same way.
  int subsampling = rotation != 0 ? -1 : Subsampling(frame->format);
  int width = frame->width;
  int height = frame->height;
  const uint8_t* planes[3] = {frame->data[0], frame->data[1], frame->data[2]};
  int strides[3] = {frame->linesize[0], frame->linesize[1], frame->linesize[2]};

  ConvertedPicture converted;
  std::vector<uint8_t> expanded;
  if (subsampling < 0) {
    if (auto r = ConvertPicture(frame, AV_PIX_FMT_YUVJ444P, path, &converted); !r) {
      return std::unexpected(r.error());
    }
    subsampling = TJSAMP_444;
    if (rotation != 0) {
      converted = Rotated(converted, 3, 1, width, height, rotation);
      if (rotation != 180) std::swap(width, height);
    }
    for (int i = 0; i < 3; ++i) {
      planes[i] = converted.planes[i];
      strides[i] = converted.strides[i];
    }
  } else if (subsampling != TJSAMP_GRAY && IsLimitedRange(frame)) {
    // JPEG samples are full range; expand each plane through a table.
    const int chroma_w = tjPlaneWidth(1, frame->width, subsampling);
    const int chroma_h = tjPlaneHeight(1, frame->height, subsampling);
    const size_t luma = static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height);
    const size_t chroma = static_cast<size_t>(chroma_w) * static_cast<size_t>(chroma_h);
    expanded.resize(luma + 2 * chroma);
    const int widths[3] = {frame->width, chroma_w, chroma_w};
    const int heights[3] = {frame->height, chroma_h, chroma_h};
    uint8_t* dst = expanded.data();
    for (int i = 0; i < 3; ++i) {
      const uint8_t* table = i == 0 ? LimitedToFullLuma() : LimitedToFullChroma();
      uint8_t* plane = dst;
      for (int y = 0; y < heights[i]; ++y) {
        const uint8_t* src = frame->data[i] + static_cast<ptrdiff_t>(y) * frame->linesize[i];
        for (int x = 0; x < widths[i]; ++x) *dst++ = table[src[x]];
      }
      planes[i] = plane;
      strides[i] = widths[i];
    }
  }

  tjhandle handle = tjInitCompress();
  if (handle == nullptr) return std::unexpected(Fail(path, "cannot start the JPEG encoder"));
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  const int rc = tjCompressFromYUVPlanes(handle, planes, width, strides, height,
                                         subsampling, &jpeg, &jpeg_size, quality, 0);
  if (rc != 0) {
    std::string reason = tjGetErrorStr2(handle);
    tjFree(jpeg);
    tjDestroy(handle);
    return std::unexpected(Fail(path, "JPEG encoding failed: " + reason));
  }
  std::vector<uint8_t> bytes(jpeg, jpeg + jpeg_size);
  tjFree(jpeg);
  tjDestroy(handle);
  return bytes;
}

// A picture encoded by one of FFmpeg's image encoders from `pixel_format`
// (packed, `bytes_per_pixel` bytes), with the encoder's private `options`.
VideoResult<std::vector<uint8_t>> EncodeWithCodec(const AVFrame* frame, int rotation,
                                                  AVCodecID codec_id, AVPixelFormat pixel_format,
                                                  int bytes_per_pixel, AVDictionary* options,
                                                  const char* name, const std::string& path) {
  std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> keep_options(&options, av_dict_free);
  ConvertedPicture packed;
  if (auto r = ConvertPicture(frame, pixel_format, path, &packed); !r) {
    return std::unexpected(r.error());
  }
  int width = frame->width;
  int height = frame->height;
  if (rotation != 0) {
    packed = Rotated(packed, 1, bytes_per_pixel, width, height, rotation);
    if (rotation != 180) std::swap(width, height);
  }
  const AVCodec* codec = avcodec_find_encoder(codec_id);
  if (codec == nullptr) {
    return std::unexpected(Fail(path, std::string("no ") + name + " encoder in FFmpeg"));
  }
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVFrame* picture = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  auto cleanup = [&] {
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&ctx);
  };
  if (ctx == nullptr || picture == nullptr || packet == nullptr) {
    cleanup();
    throw std::bad_alloc();
  }
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = pixel_format;
  ctx->time_base = AVRational{1, 25};
  int ret = avcodec_open2(ctx, codec, &options);
  if (ret >= 0) {
    picture->format = pixel_format;
    picture->width = width;
    picture->height = height;
    picture->data[0] = packed.planes[0];
    picture->linesize[0] = packed.strides[0];
    ret = avcodec_send_frame(ctx, picture);
  }
  if (ret >= 0) ret = avcodec_receive_packet(ctx, packet);
  if (ret == AVERROR(EAGAIN)) {
    // An encoder that holds its one frame (libwebp's) gives it on flushing.
    ret = avcodec_send_frame(ctx, nullptr);
    if (ret >= 0) ret = avcodec_receive_packet(ctx, packet);
  }
  if (ret < 0) {
    cleanup();
    return std::unexpected(Fail(path, std::string(name) + " encoding failed: " + AvErrorText(ret)));
  }
  std::vector<uint8_t> bytes(packet->data, packet->data + packet->size);
  cleanup();
  return bytes;
}

// The upright size `settings` asks for, given the upright picture's.
std::pair<int, int> TargetSize(int width, int height, const ImageSettings& settings) {
  if (settings.width > 0 && settings.height > 0) return {settings.width, settings.height};
  if (settings.width > 0) {
    const long h = std::lround(static_cast<double>(settings.width) * height / width);
    return {settings.width, static_cast<int>(std::max(1L, h))};
  }
  if (settings.height > 0) {
    const long w = std::lround(static_cast<double>(settings.height) * width / height);
    return {static_cast<int>(std::max(1L, w)), settings.height};
  }
  return {width, height};
}

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using OwnedFrame = std::unique_ptr<AVFrame, FrameDeleter>;

// `frame` resampled to `width` x `height` in its own pixel format (Lanczos,
// as a still picture deserves), its colour properties kept.
VideoResult<OwnedFrame> Scaled(const AVFrame* frame, int width, int height,
                               const std::string& path) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  std::unique_ptr<SwsContext, SwsDeleter> sws(
      sws_getContext(frame->width, frame->height, format, width, height, format,
                     SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                     nullptr));
  if (!sws) return std::unexpected(Fail(path, "cannot scale this pixel format"));
  OwnedFrame out(av_frame_alloc());
  if (!out) throw std::bad_alloc();
  out->format = format;
  out->width = width;
  out->height = height;
  if (av_frame_get_buffer(out.get(), 0) < 0 || av_frame_copy_props(out.get(), frame) < 0) {
    throw std::bad_alloc();
  }
  out->color_range = frame->color_range;
  out->colorspace = frame->colorspace;
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, out->data, out->linesize);
  return out;
}

}  // namespace

const char* ImageExtension(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPng:
      return "png";
    case ImageFormat::kWebp:
      return "webp";
    default:
      return "jpg";
  }
}

bool CanEncode(ImageFormat format) {
  return format != ImageFormat::kWebp || avcodec_find_encoder_by_name("libwebp") != nullptr;
}

VideoResult<std::vector<uint8_t>> EncodeFrameImage(const AVFrame* frame, ImageFormat format,
                                                   int rotation, const std::string& path,
                                                   const ImageSettings& settings) {
  OwnedFrame scaled;
  if (settings.width > 0 || settings.height > 0) {
    const bool turned = rotation == 90 || rotation == 270;
    auto [w, h] = TargetSize(turned ? frame->height : frame->width,
                             turned ? frame->width : frame->height, settings);
    if (turned) std::swap(w, h);
    if (w != frame->width || h != frame->height) {
      auto made = Scaled(frame, w, h, path);
      if (!made) return std::unexpected(made.error());
      scaled = std::move(*made);
      frame = scaled.get();
    }
  }
  switch (format) {
    case ImageFormat::kPng:
      return EncodeWithCodec(frame, rotation, AV_CODEC_ID_PNG, AV_PIX_FMT_RGB24, 3, nullptr, "PNG",
                             path);
    case ImageFormat::kWebp: {
      AVDictionary* options = nullptr;
      av_dict_set_int(&options, "quality", settings.quality, 0);
      // RGB32 is BGRA in memory here: libwebp converts it to its own YUV.
      return EncodeWithCodec(frame, rotation, AV_CODEC_ID_WEBP, AV_PIX_FMT_RGB32, 4, options,
                             "WebP", path);
    }
    default:
      return EncodeJpeg(frame, rotation, settings.quality, path);
  }
}

VideoResult<void> WriteImageFile(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (std::error_code ec = AtomicReplace(path, content)) {
    return std::unexpected(Fail(path, ec.message()));
  }
  return {};
}

VideoResult<void> WriteFrameImage(const AVFrame* frame, ImageFormat format,
                                  const std::string& path, int rotation,
                                  const ImageSettings& settings) {
  auto bytes = EncodeFrameImage(frame, format, rotation, path, settings);
  if (!bytes) return std::unexpected(bytes.error());
  return WriteImageFile(path, *bytes);
}

}  // namespace velmar::video
