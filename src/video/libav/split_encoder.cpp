#include "video/libav/split_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "common/worker_pool.hpp"
#include "common/output.hpp"
#include "video/libav/decoder.hpp"

namespace velmar::video {

const AVCodec* PickVideoEncoder(int codec_id, int fallback_id) {
  for (int id : {codec_id, fallback_id}) {
    if (const AVCodec* codec = avcodec_find_encoder(static_cast<AVCodecID>(id))) return codec;
  }
  return nullptr;
}

struct PartEncoder::State {
  AVCodecContext* decoder = nullptr;
  AVCodecContext* encoder = nullptr;
  AVFrame* decoded = nullptr;
  AVFrame* converted = nullptr;  // in the encoder's pixel format, when it differs
  SwsContext* scaler = nullptr;
  AVPacket* packet = nullptr;
  int64_t first_pts = 0;
  int64_t last_pts = 0;
  uint64_t frames = 0;  // frames encoded

  ~State() {
    avcodec_free_context(&decoder);
    avcodec_free_context(&encoder);
    av_frame_free(&decoded);
    av_frame_free(&converted);
    sws_freeContext(scaler);
    av_packet_free(&packet);
  }
};

namespace {

VideoError EncodeFailure(const char* step, int code) {
  return VideoError::Of(ErrorKind::kOther,
                        std::string("cannot re-encode the video: ") + step + " (" +
                            AvErrorText(code) + ")");
}

int Threads() { return static_cast<int>(std::min<uint64_t>(AvailableProcessors() + 2, 16)); }

// The source's pixel format when the encoder takes it, else the closest one
// it does.
AVPixelFormat EncoderFormat(const AVCodec* codec, AVPixelFormat source) {
  if (codec->pix_fmts == nullptr) return source;
  for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == source) return source;
  }
  return avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, source, 0, nullptr);
}

// Quality that leaves no visible trace: the encoders that take a constant
// rate factor (x264, x265, libvpx, ...) at 12, tuned for PSNR and with no
// bit rate to cap them, come out at 48 dB and more on every frame of a
// detailed test pattern (46.4 dB on average and 44.5 on its worst frame
// without the tuning); the others at their finest fixed quantiser. The
// speed settings are those of each encoder that has them.
void SetQuality(AVCodecContext* encoder) {
  if (av_opt_set(encoder->priv_data, "crf", "12", 0) == 0) {
    encoder->bit_rate = 0;
    av_opt_set(encoder->priv_data, "tune", "psnr", 0);
    av_opt_set(encoder->priv_data, "preset", "veryfast", 0);
    av_opt_set(encoder->priv_data, "cpu-used", "5", 0);
    av_opt_set(encoder->priv_data, "row-mt", "1", 0);
    return;
  }
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * 2;
}

}  // namespace

VideoResult<std::unique_ptr<PartEncoder>> PartEncoder::Open(const AVStream* stream,
                                                            const AVCodec* codec,
                                                            AVRational frame_rate,
                                                            int64_t first_pts, int64_t last_pts,
                                                            bool global_header) {
  auto s = std::make_unique<State>();
  s->first_pts = first_pts;
  s->last_pts = last_pts;
  const AVCodecParameters* par = stream->codecpar;
  const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
  if (decoder == nullptr) {
    return std::unexpected(VideoError::Of(
        ErrorKind::kUnsupported, std::string("no decoder for ") + avcodec_get_name(par->codec_id)));
  }
  s->decoder = avcodec_alloc_context3(decoder);
  s->encoder = avcodec_alloc_context3(codec);
  s->decoded = av_frame_alloc();
  s->packet = av_packet_alloc();
  if (!s->decoder || !s->encoder || !s->decoded || !s->packet) throw std::bad_alloc();
  if (avcodec_parameters_to_context(s->decoder, par) < 0) throw std::bad_alloc();
  s->decoder->pkt_timebase = stream->time_base;
  s->decoder->thread_count = Threads();
  if (int ret = avcodec_open2(s->decoder, decoder, nullptr); ret < 0) {
    return std::unexpected(EncodeFailure("opening the decoder", ret));
  }

  AVCodecContext* e = s->encoder;
  e->width = par->width;
  e->height = par->height;
  e->pix_fmt = EncoderFormat(codec, static_cast<AVPixelFormat>(par->format));
  e->sample_aspect_ratio = par->sample_aspect_ratio;
  e->color_range = par->color_range;
  e->color_primaries = par->color_primaries;
  e->color_trc = par->color_trc;
  e->colorspace = par->color_space;
  e->chroma_sample_location = par->chroma_location;
  e->time_base = stream->time_base;
  e->framerate = frame_rate;
  e->thread_count = Threads();
  if (global_header) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  SetQuality(e);
  if (int ret = avcodec_open2(e, codec, nullptr); ret < 0) {
    return std::unexpected(EncodeFailure(
        (std::string("opening the encoder ") + codec->name).c_str(), ret));
  }
  if (e->pix_fmt != static_cast<AVPixelFormat>(par->format)) {
    s->converted = av_frame_alloc();
    if (s->converted == nullptr) throw std::bad_alloc();
  }
  return std::unique_ptr<PartEncoder>(new PartEncoder(std::move(s)));
}

PartEncoder::PartEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
PartEncoder::~PartEncoder() = default;

const AVCodecContext* PartEncoder::encoder() const { return state_->encoder; }

VideoResult<void> PartEncoder::Feed(const AVPacket* packet, const Sink& sink) {
  // A packet the decoder rejects is skipped, as the ffmpeg program does; a
  // frame missing because of it is found by Finish.
  avcodec_send_packet(state_->decoder, packet);
  return Drain(sink);
}

VideoResult<void> PartEncoder::Drain(const Sink& sink) {
  State& s = *state_;
  for (;;) {
    int ret = avcodec_receive_frame(s.decoder, s.decoded);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
    if (ret < 0) continue;  // a picture the decoder gave up on
    const int64_t pts = s.decoded->best_effort_timestamp;
    if (pts < s.first_pts || pts > s.last_pts) {
      av_frame_unref(s.decoded);
      continue;
    }
    AVFrame* frame = s.decoded;
    if (s.converted != nullptr) {
      s.scaler = sws_getCachedContext(s.scaler, frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), s.encoder->width,
                                      s.encoder->height, s.encoder->pix_fmt, SWS_BICUBIC, nullptr,
                                      nullptr, nullptr);
      av_frame_unref(s.converted);
      s.converted->width = s.encoder->width;
      s.converted->height = s.encoder->height;
      s.converted->format = s.encoder->pix_fmt;
      if (s.scaler == nullptr || av_frame_get_buffer(s.converted, 0) < 0) throw std::bad_alloc();
      sws_scale(s.scaler, frame->data, frame->linesize, 0, frame->height, s.converted->data,
                s.converted->linesize);
      frame = s.converted;
    }
    frame->pts = pts - s.first_pts;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    ret = avcodec_send_frame(s.encoder, frame);
    av_frame_unref(s.decoded);
    if (ret < 0) return std::unexpected(EncodeFailure("encoding a frame", ret));
    ++s.frames;
    if (auto sent = Encode(false, sink); !sent) return sent;
  }
}

VideoResult<void> PartEncoder::Encode(bool flush, const Sink& sink) {
  State& s = *state_;
  if (flush) avcodec_send_frame(s.encoder, nullptr);
  for (;;) {
    const int ret = avcodec_receive_packet(s.encoder, s.packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
    if (ret < 0) return std::unexpected(EncodeFailure("encoding", ret));
    auto sent = sink(s.packet);
    av_packet_unref(s.packet);
    if (!sent) return sent;
  }
}

VideoResult<void> PartEncoder::Finish(const Sink& sink, uint64_t expected_frames) {
  avcodec_send_packet(state_->decoder, nullptr);
  if (auto drained = Drain(sink); !drained) return drained;
  if (auto flushed = Encode(true, sink); !flushed) return flushed;
  if (state_->frames != expected_frames) {
    return std::unexpected(VideoError::Of(
        ErrorKind::kInvalidData,
        Format("corrupt video stream: %llu of the part's %llu frames could be decoded",
               static_cast<unsigned long long>(state_->frames),
               static_cast<unsigned long long>(expected_frames))));
  }
  return {};
}

}  // namespace velmar::video
