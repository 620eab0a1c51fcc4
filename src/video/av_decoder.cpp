#include "video/av_decoder.hpp"

#include <emmintrin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "common/output.hpp"

namespace velmar::video {

namespace {

VideoError Fail(std::string message) { return VideoError{std::move(message), {}}; }

// The libraries' last error line on this thread: a failed open returns only
// a code ("Device or resource busy" for an absurd picture size), while the
// line says what is wrong ("Picture size 100000x100000 is invalid").
thread_local std::string t_last_library_error;

void KeepErrorLines(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[512];
  int print_prefix = 0;
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(nullptr, level, format, copy, line, sizeof line, &print_prefix);
  va_end(copy);
  (void)context;
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) t_last_library_error = std::move(text);
}

// The libraries print to stderr by default; a library inside a Python
// program stays quiet and reports through its errors instead.
void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(KeepErrorLines); });
}

// Why opening failed: the library's own error line when it gave one.
std::string OpenFailure(int code) {
  std::string reason = t_last_library_error.empty() ? AvErrorText(code) : t_last_library_error;
  t_last_library_error.clear();
  return reason;
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

size_t Padded(size_t n) { return n % 32 == 0 ? n : n + (32 - n % 32); }

}  // namespace

void AvFrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

AvFramePtr NewAvFrame() {
  AvFramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

AvFramePtr RefAvFrame(const AVFrame* source) {
  AvFramePtr frame = NewAvFrame();
  if (av_frame_ref(frame.get(), source) < 0) throw std::bad_alloc();
  return frame;
}

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

const uint8_t* LimitedToFullLuma() {
  static const std::array<uint8_t, 256> table = MakeLumaTable();
  return table.data();
}

// The table, sixteen samples at a time with SSE2 (part of x86-64 itself).
// With t = max(y - 16, 0): round(t * 255 / 219) = t + round(t * 12 / 73)
// = t + floor((12t + 36) / 73), and for 12t + 36 <= 2904 the division is
// exactly the high half of the product with 898. packus clips to 255.
void ExpandLimitedLuma(const uint8_t* src, uint8_t* dst, size_t n) {
  const __m128i sixteen = _mm_set1_epi8(16);
  const __m128i zero = _mm_setzero_si128();
  const __m128i twelve = _mm_set1_epi16(12);
  const __m128i bias = _mm_set1_epi16(36);
  const __m128i magic = _mm_set1_epi16(898);
  size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    const __m128i t = _mm_subs_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x)),
                                    sixteen);
    __m128i lo = _mm_unpacklo_epi8(t, zero);
    __m128i hi = _mm_unpackhi_epi8(t, zero);
    lo = _mm_add_epi16(lo, _mm_mulhi_epu16(_mm_add_epi16(_mm_mullo_epi16(lo, twelve), bias), magic));
    hi = _mm_add_epi16(hi, _mm_mulhi_epu16(_mm_add_epi16(_mm_mullo_epi16(hi, twelve), bias), magic));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_packus_epi16(lo, hi));
  }
  const uint8_t* table = LimitedToFullLuma();
  for (; x < n; ++x) dst[x] = table[src[x]];
}

bool IsLimitedRange(const AVFrame* frame) {
  if (IsJpegFormat(frame->format)) return false;
  return frame->color_range != AVCOL_RANGE_JPEG;
}

VideoResult<std::unique_ptr<AvDecoder>> AvDecoder::Open(const std::string& path) {
  QuietLibraries();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) return std::unexpected(Fail("no such file: " + path));
    return std::unexpected(
        VideoError::FromErrno("cannot read " + path + " (" + std::strerror(err) + ")", err));
  }
  if (S_ISDIR(st.st_mode)) {
    return std::unexpected(Fail("not a video FFmpeg can open: " + path + " is a directory"));
  }
  if (::access(path.c_str(), R_OK) != 0) {
    const int err = errno;
    return std::unexpected(
        VideoError::FromErrno("cannot read " + path + " (" + std::strerror(err) + ")", err));
  }

  std::unique_ptr<AvDecoder> d(new AvDecoder());
  t_last_library_error.clear();
  int ret = avformat_open_input(&d->format_, path.c_str(), nullptr, nullptr);
  if (ret < 0) {
    return std::unexpected(
        Fail("not a video FFmpeg can open: " + path + " (" + OpenFailure(ret) + ")"));
  }
  ret = avformat_find_stream_info(d->format_, nullptr);
  if (ret < 0) {
    return std::unexpected(
        Fail("not a video FFmpeg can open: " + path + " (" + OpenFailure(ret) + ")"));
  }

  AVStream* stream = nullptr;
  for (unsigned i = 0; i < d->format_->nb_streams; ++i) {
    AVStream* s = d->format_->streams[i];
    if (stream == nullptr && s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (s->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      stream = s;
    } else {
      s->discard = AVDISCARD_ALL;  // the demuxer then skips its packets cheaply
    }
  }
  if (stream == nullptr) return std::unexpected(Fail("no video stream in " + path));
  d->stream_index_ = stream->index;

  const AVCodecParameters* par = stream->codecpar;
  const uint64_t width = par->width > 0 ? static_cast<uint64_t>(par->width) : 0;
  const uint64_t height = par->height > 0 ? static_cast<uint64_t>(par->height) : 0;
  if (width * height > kMaxScanPixels) {
    return std::unexpected(Fail(Format("the video claims %llux%llu pixels, more than the %llu a "
                                       "frame may have",
                                       static_cast<unsigned long long>(width),
                                       static_cast<unsigned long long>(height),
                                       static_cast<unsigned long long>(kMaxScanPixels))));
  }

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) {
    return std::unexpected(Fail(std::string("not a video FFmpeg can open: no decoder for ") +
                                avcodec_get_name(par->codec_id)));
  }
  d->codec_ = avcodec_alloc_context3(codec);
  d->packet_ = av_packet_alloc();
  if (d->codec_ == nullptr || d->packet_ == nullptr) throw std::bad_alloc();
  ret = avcodec_parameters_to_context(d->codec_, par);
  if (ret < 0) throw std::bad_alloc();
  d->codec_->pkt_timebase = stream->time_base;
  // Frame threads on every core: decoding is the bulk of a scan's work.
  d->codec_->thread_count = 0;
  d->codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  ret = avcodec_open2(d->codec_, codec, nullptr);
  if (ret < 0) {
    return std::unexpected(Fail("not a video FFmpeg can open: " + path + " (" +
                                OpenFailure(ret) + ")"));
  }

  d->time_base_ = av_q2d(stream->time_base);
  d->time_base_num_ = stream->time_base.num;
  d->time_base_den_ = stream->time_base.den;
  d->start_pts_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  StreamInfo& info = d->info_;
  info.width = width;
  info.height = height;
  const AVRational rate = av_guess_frame_rate(d->format_, stream, nullptr);
  if (rate.num > 0 && rate.den > 0) info.fps = av_q2d(rate);
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    info.duration = static_cast<double>(stream->duration) * d->time_base_;
  } else if (d->format_->duration != AV_NOPTS_VALUE && d->format_->duration > 0) {
    info.duration = static_cast<double>(d->format_->duration) / AV_TIME_BASE;
  }
  if (stream->nb_frames > 0) {
    info.expected_frames = static_cast<uint64_t>(stream->nb_frames);
  } else if (info.duration > 0 && info.fps > 0) {
    info.expected_frames = static_cast<uint64_t>(std::llround(info.duration * info.fps));
  }
  return d;
}

AvDecoder::~AvDecoder() {
  avcodec_free_context(&codec_);
  av_packet_free(&packet_);
  avformat_close_input(&format_);
}

VideoResult<bool> AvDecoder::Next(AVFrame* frame, uint64_t frames_so_far) {
  av_frame_unref(frame);
  for (;;) {
    int ret = avcodec_receive_frame(codec_, frame);
    if (ret == 0) return true;
    if (ret == AVERROR_EOF) {
      if (frames_so_far == 0 && decode_errors_ > 0) {
        return std::unexpected(Fail("corrupt video stream: no frame could be decoded (" +
                                    AvErrorText(last_decode_error_) + ")"));
      }
      return false;
    }
    if (ret != AVERROR(EAGAIN)) {
      // A picture the decoder gave up on; the ffmpeg program goes on too.
      ++decode_errors_;
      last_decode_error_ = ret;
      continue;
    }
    if (draining_) return false;

    ret = av_read_frame(format_, packet_);
    if (ret == AVERROR_EOF) {
      draining_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    if (ret < 0) {
      return std::unexpected(Fail(Format("corrupt video stream after %llu frames (%s)",
                                         static_cast<unsigned long long>(frames_so_far),
                                         AvErrorText(ret).c_str())));
    }
    if (packet_->stream_index == stream_index_) {
      ret = avcodec_send_packet(codec_, packet_);
      if (ret < 0 && ret != AVERROR(EAGAIN)) {
        ++decode_errors_;
        last_decode_error_ = ret;
      }
    }
    av_packet_unref(packet_);
  }
}

double AvDecoder::FrameTime(const AVFrame* frame, double fallback) const {
  const int64_t ts = frame->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) return fallback;
  // Multiplied before dividing, so that 7 ticks of 1/10 s give 0.7 exactly
  // as printed, not 0.7000000000000001.
  return static_cast<double>(ts - start_pts_) * time_base_num_ / time_base_den_;
}

GrayConverter::~GrayConverter() { sws_freeContext(sws_); }

VideoResult<void> GrayConverter::Convert(const AVFrame* frame, std::vector<uint8_t>* out,
                                         uint64_t* out_width, uint64_t* out_height) {
  if (frame->width <= 0 || frame->height <= 0) return std::unexpected(Fail("a frame has no pixels"));
  const size_t w = static_cast<size_t>(frame->width);
  const size_t h = static_cast<size_t>(frame->height);
  if (uint64_t{w} * h > kMaxScanPixels) {
    return std::unexpected(Fail(Format("a frame of %zux%zu pixels is larger than the %llu a "
                                       "frame may have",
                                       w, h, static_cast<unsigned long long>(kMaxScanPixels))));
  }
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
  gray->resize(Padded(w * h));
  if (gray->size() > w * h) std::fill(gray->begin() + static_cast<ptrdiff_t>(w * h), gray->end(), 0);

  if (HasPlainLumaPlane(frame->format)) {
    const uint8_t* src = frame->data[0];
    uint8_t* dst = gray->data();
    if (IsLimitedRange(frame)) {
      for (size_t y = 0; y < h; ++y, src += frame->linesize[0], dst += w) {
        ExpandLimitedLuma(src, dst, w);
      }
    } else {
      for (size_t y = 0; y < h; ++y, src += frame->linesize[0], dst += w) std::memcpy(dst, src, w);
    }
  } else {
    // Everything else goes through swscale with the ffmpeg program's flags,
    // so dithering and rounding are the program's own.
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
  }

  if (downscale_ > 1) {
    const size_t d = static_cast<size_t>(downscale_);
    const uint64_t area = uint64_t{d} * d;
    out->assign(Padded(ow * oh), 0);
    std::vector<uint64_t> sums(ow);
    for (size_t oy = 0; oy < oh; ++oy) {
      std::fill(sums.begin(), sums.end(), 0);
      for (size_t dy = 0; dy < d; ++dy) {
        const uint8_t* row = full_.data() + (oy * d + dy) * w;
        for (size_t ox = 0; ox < ow; ++ox) {
          uint64_t s = 0;
          for (size_t dx = 0; dx < d; ++dx) s += row[ox * d + dx];
          sums[ox] += s;
        }
      }
      uint8_t* dst = out->data() + oy * ow;
      for (size_t ox = 0; ox < ow; ++ox) dst[ox] = static_cast<uint8_t>((sums[ox] + area / 2) / area);
    }
  }
  return {};
}

}  // namespace velmar::video
