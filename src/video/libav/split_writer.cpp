#include "video/libav/split_writer.hpp"

#include <optional>
#include <cstring>
#include <new>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "common/fs.hpp"
#include "video/libav/decoder.hpp"

namespace velmar::video {

struct PartWriter::State {
  std::optional<AtomicFile> file;
  AVFormatContext* muxer = nullptr;
  std::vector<int> output_of;     // per input stream: its output stream, or -1
  std::vector<AVRational> input_base;
  std::vector<int64_t> offset;    // per input stream: the part's start in its time base
  AVRational encoder_base{0, 1};
  bool header = false;

  ~State() {
    if (muxer != nullptr) {
      if (header) av_write_trailer(muxer);  // frees what the muxer holds; the file is dropped
      avio_closep(&muxer->pb);
      avformat_free_context(muxer);
    }
  }
};

namespace {

// The error of a failed library call on the part `target`; an FFmpeg code
// that stands for an errno value keeps it as the cause (a full disk, no
// permission).
VideoError WriteFailure(const std::string& target, int code) {
  std::string message = "cannot write " + target + " (" + AvErrorText(code) + ")";
  if (code < 0 && -code < 4096) return VideoError::FromErrno(std::move(message), -code);
  return VideoError::Of(ErrorKind::kIo, std::move(message));
}

VideoResult<void> AddStream(AVFormatContext* muxer, const AVStream* in,
                            const AVCodecContext* encoder) {
  AVStream* out = avformat_new_stream(muxer, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  const int ret = encoder != nullptr ? avcodec_parameters_from_context(out->codecpar, encoder)
                                     : avcodec_parameters_copy(out->codecpar, in->codecpar);
  if (ret < 0) throw std::bad_alloc();
  // The tag is the container's business (an MKV's tag means nothing in MP4).
  out->codecpar->codec_tag = 0;
  out->time_base = encoder != nullptr ? encoder->time_base : in->time_base;
  out->disposition = in->disposition;
  out->avg_frame_rate = in->avg_frame_rate;
  out->r_frame_rate = in->r_frame_rate;
  av_dict_copy(&out->metadata, in->metadata, 0);
  out->sample_aspect_ratio = in->sample_aspect_ratio;
  // A phone video's rotation and the like travel as stream side data.
  for (int i = 0; i < in->nb_side_data; ++i) {
    const AVPacketSideData& side = in->side_data[i];
    uint8_t* copy = av_stream_new_side_data(out, side.type, side.size);
    if (copy == nullptr) throw std::bad_alloc();
    memcpy(copy, side.data, side.size);
  }
  return {};
}

}  // namespace

VideoResult<std::unique_ptr<PartWriter>> PartWriter::Open(const std::string& target,
                                                          const AVOutputFormat* format,
                                                          const AVFormatContext* input,
                                                          const std::vector<int>& streams,
                                                          const AVCodecContext* encoder,
                                                          int64_t start_pts) {
  auto state = std::make_unique<State>();
  auto file = AtomicFile::Create(target);
  if (!file) {
    const int err = file.error().value();
    return std::unexpected(VideoError::FromErrno(
        "cannot write " + target + " (" + std::strerror(err) + ")", err));
  }
  state->file.emplace(std::move(*file));
  if (avformat_alloc_output_context2(&state->muxer, format, nullptr, target.c_str()) < 0) {
    throw std::bad_alloc();
  }
  state->output_of.assign(input->nb_streams, -1);
  state->offset.assign(input->nb_streams, 0);
  for (AVStream* in : std::vector<AVStream*>(input->streams, input->streams + input->nb_streams)) {
    state->input_base.push_back(in->time_base);
  }
  const AVRational video_base = input->streams[streams.front()]->time_base;
  for (size_t i = 0; i < streams.size(); ++i) {
    const AVStream* in = input->streams[streams[i]];
    if (auto added = AddStream(state->muxer, in, i == 0 ? encoder : nullptr); !added) {
      return std::unexpected(added.error());
    }
    state->output_of[streams[i]] = static_cast<int>(i);
    state->offset[streams[i]] = av_rescale_q(start_pts, video_base, in->time_base);
  }
  if (encoder != nullptr) state->encoder_base = encoder->time_base;
  int ret = avio_open(&state->muxer->pb, state->file->temp_path().c_str(), AVIO_FLAG_WRITE);
  if (ret < 0) return std::unexpected(WriteFailure(target, ret));
  if (ret = avformat_write_header(state->muxer, nullptr); ret < 0) {
    return std::unexpected(WriteFailure(target, ret));
  }
  state->header = true;
  return std::unique_ptr<PartWriter>(new PartWriter(std::move(state)));
}

PartWriter::PartWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
PartWriter::~PartWriter() = default;

const std::string& PartWriter::target() const { return state_->file->target(); }

VideoResult<void> PartWriter::WriteCopied(AVPacket* packet, int input_stream) {
  const int64_t offset = state_->offset[input_stream];
  if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset;
  packet->pos = -1;
  av_packet_rescale_ts(packet, state_->input_base[input_stream],
                       state_->muxer->streams[state_->output_of[input_stream]]->time_base);
  return Write(packet, state_->output_of[input_stream]);
}

VideoResult<void> PartWriter::WriteEncoded(AVPacket* packet) {
  av_packet_rescale_ts(packet, state_->encoder_base, state_->muxer->streams[0]->time_base);
  return Write(packet, 0);
}

VideoResult<void> PartWriter::Write(AVPacket* packet, int output_stream) {
  packet->stream_index = output_stream;
  if (const int ret = av_interleaved_write_frame(state_->muxer, packet); ret < 0) {
    return std::unexpected(WriteFailure(target(), ret));
  }
  return {};
}

VideoResult<void> PartWriter::Commit() {
  state_->header = false;
  int ret = av_write_trailer(state_->muxer);
  if (ret < 0) return std::unexpected(WriteFailure(target(), ret));
  if (ret = avio_closep(&state_->muxer->pb); ret < 0) {
    return std::unexpected(WriteFailure(target(), ret));
  }
  if (std::error_code ec = state_->file->Commit()) {
    return std::unexpected(VideoError::FromErrno(
        "cannot write " + target() + " (" + ec.message() + ")", ec.value()));
  }
  return {};
}

}  // namespace velmar::video
