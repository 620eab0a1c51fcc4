#include "video/libav/splitter.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/scan_images.hpp"
#include "video/libav/split_encoder.hpp"
#include "video/libav/split_index.hpp"
#include "video/libav/split_writer.hpp"

namespace velmar::video {

std::string SceneListProblem(const std::vector<SplitScene>& scenes, uint64_t frame_count) {
  if (scenes.empty()) return "the scene list is empty";
  using ull = unsigned long long;
  for (size_t i = 0; i < scenes.size(); ++i) {
    const SplitScene& s = scenes[i];
    const std::string name = Format("scene %llu (frames %llu-%llu)", static_cast<ull>(i + 1),
                                    static_cast<ull>(s.start_frame), static_cast<ull>(s.end_frame));
    if (s.start_frame > s.end_frame) return name + " ends before it starts";
    if (s.end_frame >= frame_count) {
      return name + Format(" goes beyond the video's last frame, %llu",
                           static_cast<ull>(frame_count - 1));
    }
    if (i > 0 && s.start_frame <= scenes[i - 1].end_frame) {
      return name + (s.start_frame < scenes[i - 1].start_frame
                         ? " starts before the scene before it: the scenes are not in order"
                         : " overlaps the scene before it");
    }
  }
  return "";
}

namespace {

using Clock = std::chrono::steady_clock;

// What a part is made of.
struct PartPlan {
  uint64_t scene = 0;         // its place in the list, from 0
  uint64_t first = 0;         // the frames it shows
  uint64_t last = 0;
  bool reencode = false;
  uint32_t decode_from = 0;   // the video packets it reads, in decode order
  uint32_t decode_to = 0;
  double begin = 0.0;         // its span in seconds on the container's clock
  double end = 0.0;
  std::string target;
};

// The container the parts are written in, and the input streams they hold.
struct Container {
  const AVOutputFormat* format = nullptr;
  std::string extension;  // with its dot
  std::vector<int> streams;  // the video's first
  bool fell_back = false;    // the input's could not hold the streams
};

// Whether `format` can hold `id`: yes (1), or cannot tell (negative: a
// muxer such as MPEG-TS's that keeps no list), which is left to its header.
bool Takes(const AVOutputFormat* format, AVCodecID id) {
  return avformat_query_codec(format, id, FF_COMPLIANCE_NORMAL) != 0;
}

// The input's container when it takes the video (in each codec it will be
// written in) and every audio and subtitle stream, else Matroska, which
// takes what it can.
Container PickContainer(const std::string& path, const AVFormatContext* input, int video,
                        std::optional<AVCodecID> encoded_as) {
  const std::string name = BaseName(path);
  const size_t dot = name.rfind('.');
  Container c;
  c.format = dot != std::string::npos && dot > 0 ? av_guess_format(nullptr, name.c_str(), nullptr)
                                                 : nullptr;
  if (c.format != nullptr) c.extension = name.substr(dot);
  auto fits = [&](const AVOutputFormat* format, int i) {
    const AVCodecParameters* par = input->streams[i]->codecpar;
    if (i == video) {
      bool copied_fits = Takes(format, par->codec_id);
      return encoded_as ? copied_fits && Takes(format, *encoded_as) : copied_fits;
    }
    return Takes(format, par->codec_id);
  };
  auto wanted = [&](int i) {
    const AVMediaType type = input->streams[i]->codecpar->codec_type;
    return type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
  };
  bool all_fit = c.format != nullptr && fits(c.format, video);
  for (int i = 0; all_fit && i < static_cast<int>(input->nb_streams); ++i) {
    if (wanted(i)) all_fit = fits(c.format, i);
  }
  if (!all_fit) {
    c.format = av_guess_format("matroska", nullptr, nullptr);
    c.extension = ".mkv";
    c.fell_back = true;
  }
  c.streams.push_back(video);
  for (int i = 0; i < static_cast<int>(input->nb_streams); ++i) {
    if (i != video && wanted(i) && fits(c.format, i)) c.streams.push_back(i);
  }
  return c;
}

// The smallest last frame at or after `last` at which a stream copy from
// `first` ends cleanly (every packet read is shown, every frame shown is
// read); `last` itself where none does.
uint64_t CleanEnd(const VideoIndex& index, uint64_t first, uint64_t last) {
  for (uint64_t b = last; b < index.frames.size() && b < last + 64; ++b) {
    if (index.CopiesExactly(first, b)) return b;
  }
  return last;
}

PartPlan Plan(const VideoIndex& index, const SplitScene& scene, bool copy, double time_base) {
  PartPlan p;
  p.first = scene.start_frame;
  p.last = scene.end_frame;
  const auto& frames = index.frames;
  const int64_t key = index.KeyAtOrBefore(p.first);
  if (copy) {
    p.first = static_cast<uint64_t>(std::max<int64_t>(key, 0));
    p.last = CleanEnd(index, p.first, p.last);
  } else {
    const bool clean_start = frames[p.first].clean;
    const bool clean_end = p.last + 1 == frames.size() || frames[p.last + 1].clean;
    p.reencode = !(clean_start && clean_end && index.CopiesExactly(p.first, p.last));
  }
  // Without a key frame shown at or before it (an edit list that starts
  // after the stream's first key frame), a part reads from the first packet.
  p.decode_from = key < 0 ? 0 : frames[p.first].decode;
  p.decode_to = index.LastDecode(p.first, p.last);
  if (p.reencode && key >= 0) {
    // Decoding starts at a key frame that needs nothing before it.
    const int64_t clean = index.CleanAtOrBefore(p.first);
    p.decode_from = std::min(frames[clean >= 0 ? clean : key].decode, p.decode_from);
  }
  p.begin = static_cast<double>(frames[p.first].pts) * time_base;
  p.end = static_cast<double>(index.EndOf(p.last)) * time_base;
  return p;
}

// A part being written: its muxer and, when it re-encodes, its encoder.
struct ActivePart {
  std::unique_ptr<PartWriter> writer;
  std::unique_ptr<PartEncoder> encoder;
  bool opened = false;
  bool video_done = false;
  bool closed = false;
  std::optional<VideoError> error;
};

class Split {
 public:
  Split(const std::string& path, AVFormatContext* input, const VideoIndex& index,
        const Container& container, const AVCodec* encoder, std::vector<PartPlan> plans,
        ScanObserver* observer)
      : path_(path), input_(input), index_(index), container_(container), encoder_(encoder),
        plans_(std::move(plans)), parts_(plans_.size()), observer_(observer) {
    in_part_.assign(input->nb_streams, false);
    for (int s : container.streams) in_part_[s] = true;
  }

  // Reads the file once, handing each packet to the parts that hold it.
  VideoResult<void> Run() {
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) throw std::bad_alloc();
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> owned(packet, [](AVPacket* p) {
      av_packet_free(&p);
    });
    int ret = 0;
    uint32_t decode = 0;
    auto last_poll = Clock::now();
    while ((ret = av_read_frame(input_, packet)) >= 0) {
      const int stream = packet->stream_index;
      if (stream == index_.stream) {
        Video(packet, decode++);
      } else if (in_part_[stream]) {
        Other(packet, stream);
      }
      if (in_part_[stream]) Retire(packet);
      av_packet_unref(packet);
      if (observer_ != nullptr && std::chrono::duration<double, std::milli>(
                                      Clock::now() - last_poll).count() >= kScanPollIntervalMs) {
        if (!observer_->Poll(decode, index_.packets)) throw Interrupted{};
        last_poll = Clock::now();
      }
    }
    if (ret != AVERROR_EOF) {
      return std::unexpected(VideoError::Of(ErrorKind::kInvalidData,
                                            "corrupt video: cannot read " + path_ + " (" +
                                                AvErrorText(ret) + ")"));
    }
    for (size_t p = 0; p < parts_.size(); ++p) Close(p);
    return {};
  }

  const std::optional<VideoError>& ErrorOf(size_t p) const { return parts_[p].error; }

 private:
  void Video(AVPacket* packet, uint32_t decode) {
    for (size_t p = lowest_; p < plans_.size() && plans_[p].decode_from <= decode; ++p) {
      const PartPlan& plan = plans_[p];
      if (parts_[p].closed || parts_[p].video_done || decode > plan.decode_to) continue;
      if (!Open(p)) continue;
      ActivePart& part = parts_[p];
      VideoResult<void> done;
      if (part.encoder) {
        done = part.encoder->Feed(packet, Sink(p));
      } else {
        AVPacket* copy = av_packet_clone(packet);
        if (copy == nullptr) throw std::bad_alloc();
        done = part.writer->WriteCopied(copy, index_.stream);
        av_packet_free(&copy);
      }
      if (done && decode == plan.decode_to) done = FinishVideo(p);
      if (!done) Fail(p, std::move(done.error()));
    }
  }

  void Other(AVPacket* packet, int stream) {
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts == AV_NOPTS_VALUE) return;
    const AVStream* s = input_->streams[stream];
    const double tb = av_q2d(s->time_base);
    // An audio packet goes where its middle lies, so each part's sound
    // starts and ends within half an audio frame of its pictures.
    const bool audio = s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    const double at = (static_cast<double>(ts) + (audio ? packet->duration / 2.0 : 0.0)) * tb;
    for (size_t p = lowest_; p < plans_.size() && plans_[p].begin <= at; ++p) {
      if (parts_[p].closed || at >= plans_[p].end) continue;
      if (!Open(p)) continue;
      AVPacket* copy = av_packet_clone(packet);
      if (copy == nullptr) throw std::bad_alloc();
      auto done = parts_[p].writer->WriteCopied(copy, stream);
      av_packet_free(&copy);
      if (!done) Fail(p, std::move(done.error()));
    }
  }

  // Closes the parts whose video is in and whose span the file has passed,
  // in order: at once for a part of video alone, else once the file is a
  // few seconds further on (the container interleaves its streams that
  // closely); the rest at the end of the file.
  void Retire(const AVPacket* packet) {
    const int64_t ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    const double at = ts == AV_NOPTS_VALUE
                          ? -HUGE_VAL
                          : static_cast<double>(ts) * av_q2d(input_->streams[packet->stream_index]->time_base);
    const bool video_only = container_.streams.size() == 1;
    while (lowest_ < plans_.size() &&
           (parts_[lowest_].closed ||
            (parts_[lowest_].video_done && (video_only || at > plans_[lowest_].end + 5.0)))) {
      Close(lowest_++);
    }
  }

  PartEncoder::Sink Sink(size_t p) {
    return [this, p](AVPacket* packet) { return parts_[p].writer->WriteEncoded(packet); };
  }

  bool Open(size_t p) {
    ActivePart& part = parts_[p];
    if (part.opened) return !part.closed;
    part.opened = true;
    const PartPlan& plan = plans_[p];
    const AVStream* video = input_->streams[index_.stream];
    if (plan.reencode) {
      const bool global = (container_.format->flags & AVFMT_GLOBALHEADER) != 0;
      auto encoder = PartEncoder::Open(video, encoder_, av_guess_frame_rate(input_, const_cast<AVStream*>(video), nullptr),
                                       index_.frames[plan.first].pts,
                                       index_.frames[plan.last].pts, global);
      if (!encoder) return Fail(p, std::move(encoder.error()));
      part.encoder = std::move(*encoder);
    }
    auto writer = PartWriter::Open(plan.target, container_.format, input_, container_.streams,
                                   part.encoder ? part.encoder->encoder() : nullptr,
                                   index_.frames[plan.first].pts);
    if (!writer) return Fail(p, std::move(writer.error()));
    part.writer = std::move(*writer);
    return true;
  }

  VideoResult<void> FinishVideo(size_t p) {
    ActivePart& part = parts_[p];
    part.video_done = true;
    if (!part.encoder) return {};
    auto finished = part.encoder->Finish(Sink(p), plans_[p].last - plans_[p].first + 1);
    part.encoder.reset();
    return finished;
  }

  void Close(size_t p) {
    ActivePart& part = parts_[p];
    if (part.closed) return;
    VideoResult<void> done;
    if (!part.opened && !Open(p)) return;
    if (!part.video_done) {
      done = std::unexpected(VideoError::Of(
          ErrorKind::kInvalidData, "corrupt video: the file ends before the part's frames"));
    }
    if (done) done = part.writer->Commit();
    if (!done) {
      Fail(p, std::move(done.error()));
      return;
    }
    part.closed = true;
    part.writer.reset();
  }

  // Drops a part that failed: its temporary file goes with its writer.
  bool Fail(size_t p, VideoError error) {
    ActivePart& part = parts_[p];
    part.closed = true;
    part.encoder.reset();
    part.writer.reset();
    if (!part.error) part.error = std::move(error);
    return false;
  }

  const std::string& path_;
  AVFormatContext* input_;
  const VideoIndex& index_;
  const Container& container_;
  const AVCodec* encoder_;
  std::vector<PartPlan> plans_;
  std::vector<ActivePart> parts_;
  ScanObserver* observer_;
  std::vector<bool> in_part_;
  size_t lowest_ = 0;  // parts before it are closed
};

std::string PartName(const std::string& path, const SplitOptions& options, uint64_t scene,
                     const SplitScene& frames, double time) {
  std::string video = BaseName(path);
  if (const size_t dot = video.rfind('.'); dot != 0 && dot != std::string::npos) video.resize(dot);
  const std::string& name_template =
      options.name_template.empty() ? std::string(kDefaultPartName) : options.name_template;
  return FormatImageName(name_template, ImageNameFields{video, scene + 1, frames.start_frame, time});
}

// The encoder of the parts that are re-encoded (null when none is), saying
// in `warnings` how many there are and when it is not the source's codec's.
VideoResult<const AVCodec*> EncoderFor(const std::vector<PartPlan>& plans, AVCodecID source,
                                       std::vector<std::string>* warnings) {
  const auto whole = std::count_if(plans.begin(), plans.end(),
                                   [](const PartPlan& p) { return p.reencode; });
  if (whole == 0) return nullptr;
  warnings->push_back(Format(
      "%lld of %zu parts re-encoded whole: their scene starts or ends between clean key frames",
      static_cast<long long>(whole), plans.size()));
  const AVCodec* encoder = PickVideoEncoder(source, AV_CODEC_ID_MPEG4);
  if (encoder == nullptr) {
    return std::unexpected(VideoError::Of(ErrorKind::kUnsupported,
                                          "this FFmpeg has no video encoder to re-encode with"));
  }
  if (encoder->id != source) {
    warnings->push_back(Format("this FFmpeg cannot encode %s: the re-encoded parts are %s",
                               avcodec_get_name(source), avcodec_get_name(encoder->id)));
  }
  return encoder;
}

VideoError BadScenes(std::string message) { return VideoError::FromErrno(std::move(message), EINVAL); }

// The failure of a split in which some parts failed: the parts and the
// first reason, with its kind.
VideoError PartsFailed(const std::vector<std::pair<uint64_t, VideoError>>& failed, size_t parts) {
  std::string which;
  for (size_t i = 0; i < failed.size() && i < 10; ++i) {
    which += (i ? ", " : "") + std::to_string(failed[i].first + 1);
  }
  if (failed.size() > 10) which += ", ...";
  VideoError error = failed.front().second;
  error.message = Format("%zu of %zu parts could not be written (scene%s %s): ", failed.size(),
                         parts, failed.size() > 1 ? "s" : "", which.c_str()) +
                  error.message;
  return error;
}

}  // namespace

VideoResult<SplitOutcome> SplitVideo(const std::string& path, const std::vector<SplitScene>& scenes,
                                     const SplitOptions& options, ScanObserver* observer) {
  auto indexed_input = OpenInput(path);
  if (!indexed_input) return std::unexpected(indexed_input.error());
  auto index = IndexVideo(indexed_input->get(), path);
  if (!index) return std::unexpected(index.error());
  indexed_input->reset();
  if (std::string problem = SceneListProblem(scenes, index->frames.size()); !problem.empty()) {
    return std::unexpected(BadScenes(std::move(problem)));
  }
  auto input = OpenInput(path);
  if (!input) return std::unexpected(input.error());
  const AVStream* video = (*input)->streams[index->stream];
  const double time_base = av_q2d(video->time_base);

  SplitOutcome outcome;
  std::vector<PartPlan> plans;
  for (size_t i = 0; i < scenes.size(); ++i) {
    plans.push_back(Plan(*index, scenes[i], options.copy, time_base));
    plans.back().scene = i;
  }
  auto encoder = EncoderFor(plans, video->codecpar->codec_id, &outcome.warnings);
  if (!encoder) return std::unexpected(encoder.error());
  const Container container = PickContainer(
      path, input->get(), index->stream,
      *encoder != nullptr ? std::optional<AVCodecID>((*encoder)->id) : std::nullopt);
  if (container.fell_back) {
    outcome.warnings.push_back("the parts are Matroska (.mkv): the input's container cannot hold "
                               "their streams");
  }
  if (std::error_code ec = CreateDirectories(options.output_dir)) {
    return std::unexpected(VideoError::FromErrno(
        "cannot make " + options.output_dir + " (" + ec.message() + ")", ec.value()));
  }
  for (PartPlan& plan : plans) {
    plan.target = JoinPath(options.output_dir,
                           PartName(path, options, plan.scene, scenes[plan.scene],
                                    static_cast<double>(
                                        index->frames[scenes[plan.scene].start_frame].pts -
                                        index->frames[0].pts) * time_base) +
                               container.extension);
  }

  Split split(path, input->get(), *index, container, *encoder, plans, observer);
  if (auto ran = split.Run(); !ran) return std::unexpected(ran.error());
  std::vector<std::pair<uint64_t, VideoError>> failed;
  for (const PartPlan& plan : plans) {
    if (const auto& error = split.ErrorOf(plan.scene)) {
      failed.emplace_back(plan.scene, *error);
      continue;
    }
    outcome.parts.push_back(SplitPart{plan.target, scenes[plan.scene].start_frame, plan.first,
                                      plan.reencode});
  }
  if (!failed.empty()) return std::unexpected(PartsFailed(failed, plans.size()));
  return outcome;
}

}  // namespace velmar::video
