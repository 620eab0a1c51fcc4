#include "video/libav/decoder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
}

#include "common/output.hpp"
#include "common/worker_pool.hpp"

namespace velmar::video {

namespace {

// Most of what goes wrong here is a file that is not a video FFmpeg can
// open, or a corrupt one.
VideoError Fail(std::string message, ErrorKind kind = ErrorKind::kInvalidData) {
  return VideoError::Of(kind, std::move(message));
}

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

}  // namespace

void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(KeepErrorLines); });
}

namespace {

// Why opening failed: the library's own error line when it gave one.
std::string OpenFailure(int code) {
  std::string reason = t_last_library_error.empty() ? AvErrorText(code) : t_last_library_error;
  t_last_library_error.clear();
  return reason;
}

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

VideoError TooManyPixels(uint64_t width, uint64_t height, uint64_t max_pixels) {
  using ull = unsigned long long;
  return Fail(Format("frames of %llux%llu pixels are more than the %llu a scan takes (max_pixels)",
                     static_cast<ull>(width), static_cast<ull>(height),
                     static_cast<ull>(max_pixels)),
              ErrorKind::kUnsupported);
}

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

VideoResult<void> CheckReadable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      return std::unexpected(VideoError{"no such file: " + path,
                                        std::error_code(err, std::generic_category()),
                                        ErrorKind::kNotFound});
    }
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
  return {};
}

namespace {

// The clockwise turn the ffmpeg program applies for the stream's display
// matrix (its autorotate): the matrix's counter-clockwise angle, negated and
// rounded to a quarter turn. A matrix that mirrors is turned only.
int UprightRotation(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return 0;
  int32_t matrix[9];
  std::memcpy(matrix, data, sizeof matrix);
  const double angle = av_display_rotation_get(matrix);
  if (std::isnan(angle)) return 0;
  double theta = -std::round(angle);
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  const int quarter = static_cast<int>(std::lround(theta / 90)) % 4;
  return quarter * 90;
}

}  // namespace

VideoError CannotOpen(const std::string& path, int code) {
  return Fail("not a video FFmpeg can open: " + path + " (" + OpenFailure(code) + ")");
}

VideoResult<std::unique_ptr<AvDecoder>> AvDecoder::Open(const std::string& path,
                                                        DecodeFidelity fidelity,
                                                        uint64_t max_pixels) {
  QuietLibraries();
  if (auto readable = CheckReadable(path); !readable) return std::unexpected(readable.error());
  std::unique_ptr<AvDecoder> d(new AvDecoder());
  d->max_pixels_ = max_pixels;
  if (auto opened = d->OpenContainer(path); !opened) return std::unexpected(opened.error());
  auto stream = d->PickStream(path);
  if (!stream) return std::unexpected(stream.error());
  if (auto codec = d->OpenCodec(path, *stream, fidelity); !codec) {
    return std::unexpected(codec.error());
  }
  d->ReadStreamInfo(*stream);
  return d;
}

VideoResult<void> AvDecoder::OpenContainer(const std::string& path) {
  t_last_library_error.clear();
  int ret = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
  if (ret < 0) return std::unexpected(CannotOpen(path, ret));
  // Finding the stream parameters may decode a picture (a PNG's size and
  // format are known only then): the decoders it opens get the pixel limit,
  // so that a picture claiming to be huge is refused before its buffer is
  // allocated, and PickStream then reports the size it claimed.
  std::vector<AVDictionary*> options(format_->nb_streams, nullptr);
  const auto limit = static_cast<long long>(std::min<uint64_t>(max_pixels_, INT64_MAX));
  for (AVDictionary*& dict : options) av_dict_set_int(&dict, "max_pixels", limit, 0);
  ret = avformat_find_stream_info(format_, options.data());
  for (AVDictionary*& dict : options) av_dict_free(&dict);
  if (ret < 0) return std::unexpected(CannotOpen(path, ret));
  return {};
}

VideoResult<AVStream*> AvDecoder::PickStream(const std::string& path) {
  AVStream* stream = nullptr;
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    AVStream* s = format_->streams[i];
    if (stream == nullptr && s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (s->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      stream = s;
    } else {
      s->discard = AVDISCARD_ALL;  // the demuxer then skips its packets cheaply
    }
  }
  if (stream == nullptr) {
    return std::unexpected(Fail("no video stream in " + path, ErrorKind::kUnsupported));
  }
  stream_index_ = stream->index;

  const AVCodecParameters* par = stream->codecpar;
  const uint64_t width = par->width > 0 ? static_cast<uint64_t>(par->width) : 0;
  const uint64_t height = par->height > 0 ? static_cast<uint64_t>(par->height) : 0;
  if (width * height > max_pixels_) {
    return std::unexpected(TooManyPixels(width, height, max_pixels_));
  }
  return stream;
}

VideoResult<void> AvDecoder::OpenCodec(const std::string& path, const AVStream* stream,
                                       DecodeFidelity fidelity) {
  const AVCodecParameters* par = stream->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) {
    return std::unexpected(Fail(std::string("not a video FFmpeg can open: no decoder for ") +
                                    avcodec_get_name(par->codec_id),
                                ErrorKind::kUnsupported));
  }
  codec_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  if (codec_ == nullptr || packet_ == nullptr) throw std::bad_alloc();
  if (avcodec_parameters_to_context(codec_, par) < 0) throw std::bad_alloc();
  codec_->pkt_timebase = stream->time_base;
  // Frame threads on every core, and two more: decoding is the bulk of a
  // scan's work, and frames in flight keep the cores busy while one frame
  // waits on its references or on the scan (about 8% faster on two cores
  // than the library's own choice of one more than the cores). The library
  // caps its own choice at 16 as well.
  codec_->thread_count = static_cast<int>(std::min<uint64_t>(AvailableProcessors() + 2, 16));
  codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (fidelity == DecodeFidelity::kExactReferences) codec_->skip_loop_filter = AVDISCARD_BIDIR;
  // A picture's size may be known only once its decoding starts (a PNG's,
  // or one that grows mid-stream): GetBuffer refuses it before its buffer
  // is allocated.
  codec_->opaque = this;
  codec_->get_buffer2 = &AvDecoder::GetBuffer;
  if (const int ret = avcodec_open2(codec_, codec, nullptr); ret < 0) {
    return std::unexpected(CannotOpen(path, ret));
  }
  return {};
}

void AvDecoder::ReadStreamInfo(const AVStream* stream) {
  time_base_ = av_q2d(stream->time_base);
  time_base_num_ = stream->time_base.num;
  time_base_den_ = stream->time_base.den;
  start_pts_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  StreamInfo& info = info_;
  const AVCodecParameters* par = stream->codecpar;
  info.width = par->width > 0 ? static_cast<uint64_t>(par->width) : 0;
  info.height = par->height > 0 ? static_cast<uint64_t>(par->height) : 0;
  const AVRational rate =
      av_guess_frame_rate(format_, const_cast<AVStream*>(stream), nullptr);
  if (rate.num > 0 && rate.den > 0) info.fps = av_q2d(rate);
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    info.duration = static_cast<double>(stream->duration) * time_base_;
  } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
    info.duration = static_cast<double>(format_->duration) / AV_TIME_BASE;
  }
  info.rotation = UprightRotation(stream);
  if (stream->nb_frames > 0) {
    info.expected_frames = static_cast<uint64_t>(stream->nb_frames);
  } else if (info.duration > 0 && info.fps > 0) {
    info.expected_frames = static_cast<uint64_t>(std::llround(info.duration * info.fps));
  }
}

int AvDecoder::GetBuffer(AVCodecContext* codec, AVFrame* frame, int flags) {
  auto* self = static_cast<AvDecoder*>(codec->opaque);
  const auto width = static_cast<uint64_t>(std::max(frame->width, 0));
  const auto height = static_cast<uint64_t>(std::max(frame->height, 0));
  if (width * height > self->max_pixels_) {
    self->refused_size_.store(width << 32 | height, std::memory_order_relaxed);
    return AVERROR(EINVAL);
  }
  return avcodec_default_get_buffer2(codec, frame, flags);
}

std::optional<VideoError> AvDecoder::Refusal() const {
  const uint64_t size = refused_size_.load(std::memory_order_relaxed);
  if (size == 0) return std::nullopt;
  return TooManyPixels(size >> 32, size & 0xffffffff, max_pixels_);
}

AvDecoder::~AvDecoder() {
  avcodec_free_context(&codec_);
  av_packet_free(&packet_);
  avformat_close_input(&format_);
}

VideoResult<bool> AvDecoder::Next(AVFrame* frame, uint64_t frames_so_far) {
  av_frame_unref(frame);
  for (;;) {
    // A decoding thread's refusal may surface as an error of a later call,
    // or (at the end) not at all.
    if (auto refused = Refusal()) return std::unexpected(std::move(*refused));
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

VideoResult<void> AvDecoder::SeekBefore(double seconds) {
  const int64_t target =
      start_pts_ + static_cast<int64_t>(std::floor(seconds * time_base_den_ / time_base_num_));
  if (const int ret = av_seek_frame(format_, stream_index_, target, AVSEEK_FLAG_BACKWARD);
      ret < 0) {
    return std::unexpected(Fail(Format("cannot seek to %.3f s (%s)", seconds,
                                       AvErrorText(ret).c_str())));
  }
  avcodec_flush_buffers(codec_);
  draining_ = false;
  return {};
}

double AvDecoder::FrameTime(const AVFrame* frame, double fallback) const {
  const int64_t ts = frame->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) return fallback;
  // Multiplied before dividing, so that 7 ticks of 1/10 s give 0.7 exactly
  // as printed, not 0.7000000000000001.
  return static_cast<double>(ts - start_pts_) * time_base_num_ / time_base_den_;
}

double AvDecoder::FrameDuration(const AVFrame* frame) const {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  const int64_t ticks = frame->duration;
#else
  const int64_t ticks = frame->pkt_duration;
#endif
  return ticks > 0 ? static_cast<double>(ticks) * time_base_num_ / time_base_den_ : 0.0;
}

}  // namespace velmar::video
