#pragma once

// One part of a split: a muxer writing the chosen streams of the input into
// a temporary file, which takes the part's name only once it is whole.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "video/video_error.hpp"

struct AVCodecContext;
struct AVFormatContext;
struct AVOutputFormat;
struct AVPacket;

namespace velmar::video {

class PartWriter {
 public:
  // A writer of `streams` (input stream indices, the video's first) of
  // `input` into `target` in `format`. The video is copied, or, with
  // `encoder`, that encoder's packets. `start_pts` (in the video stream's
  // time base) becomes time 0 of every stream.
  static VideoResult<std::unique_ptr<PartWriter>> Open(const std::string& target,
                                                       const AVOutputFormat* format,
                                                       const AVFormatContext* input,
                                                       const std::vector<int>& streams,
                                                       const AVCodecContext* encoder,
                                                       int64_t start_pts);
  ~PartWriter();
  PartWriter(const PartWriter&) = delete;
  PartWriter& operator=(const PartWriter&) = delete;

  // Writes a packet of input stream `input_stream`, its times moved by the
  // part's start (the packet is taken: it is blank afterwards).
  VideoResult<void> WriteCopied(AVPacket* packet, int input_stream);
  // Writes a packet of the encoder, whose times already count from 0.
  VideoResult<void> WriteEncoded(AVPacket* packet);
  // Finishes the file and renames it into place.
  VideoResult<void> Commit();

  const std::string& target() const;

 private:
  struct State;
  explicit PartWriter(std::unique_ptr<State> state);
  VideoResult<void> Write(AVPacket* packet, int output_stream);

  std::unique_ptr<State> state_;
};

}  // namespace velmar::video
