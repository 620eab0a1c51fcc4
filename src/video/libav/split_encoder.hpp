#pragma once

// The re-encoding side of a split: decodes the video packets a part needs
// and encodes the frames it shows, at a quality a viewer cannot tell from
// the source (PSNR of 45 dB or more).

#include <cstdint>
#include <functional>
#include <memory>

#include "video/video_error.hpp"

struct AVCodec;
struct AVCodecContext;
struct AVPacket;
struct AVStream;

extern "C" {
#include <libavutil/rational.h>
}

namespace velmar::video {

// The encoder for the video codec `codec_id` (an AVCodecID), or, when this
// build has none, for `fallback_id`; null when neither has one.
const AVCodec* PickVideoEncoder(int codec_id, int fallback_id);

class PartEncoder {
 public:
  using Sink = std::function<VideoResult<void>(AVPacket*)>;

  // Decodes `stream` and encodes with `encoder` the frames whose times lie
  // in [first_pts, last_pts], counting time from first_pts. `frame_rate`
  // is the stream's, for the encoder's rate control; `global_header` when
  // the container keeps the codec's parameter sets out of the packets.
  static VideoResult<std::unique_ptr<PartEncoder>> Open(const AVStream* stream,
                                                        const AVCodec* encoder,
                                                        AVRational frame_rate, int64_t first_pts,
                                                        int64_t last_pts, bool global_header);
  ~PartEncoder();
  PartEncoder(const PartEncoder&) = delete;
  PartEncoder& operator=(const PartEncoder&) = delete;

  const AVCodecContext* encoder() const;

  // Decodes `packet` and encodes what it shows within the range, handing
  // each encoded packet to `sink`.
  VideoResult<void> Feed(const AVPacket* packet, const Sink& sink);
  // Drains the decoder and the encoder into `sink`; fails when the part's
  // frames did not all come out.
  VideoResult<void> Finish(const Sink& sink, uint64_t expected_frames);

 private:
  struct State;
  explicit PartEncoder(std::unique_ptr<State> state);
  VideoResult<void> Drain(const Sink& sink);
  VideoResult<void> Encode(bool flush, const Sink& sink);

  std::unique_ptr<State> state_;
};

}  // namespace velmar::video
