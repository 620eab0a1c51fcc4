#pragma once

// The frames of a video found without decoding: its video packets' times,
// sorted, give the presentation order the decoder follows, so frame n here
// is frame n of scan_video.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "video/video_error.hpp"

struct AVFormatContext;

namespace velmar::video {

// An opened container (avformat_close_input on destruction).
struct InputCloser {
  void operator()(AVFormatContext* format) const;
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

// Opens `path` and finds its streams, with errors a user can act on.
VideoResult<InputPtr> OpenInput(const std::string& path);

// The first video stream that is not an attached picture (cover art), the
// one scan_video reads; -1 when there is none.
int FirstVideoStream(const AVFormatContext* format);

struct IndexedFrame {
  int64_t pts = 0;       // in the stream's time base
  int64_t duration = 0;  // 0 when the packet gives none
  uint32_t decode = 0;   // the packet's place among the stream's packets
  bool key = false;
  // A key frame no later packet is shown before: decoding can start here
  // and nothing after needs what came before (a closed GOP opens here).
  bool clean = false;
};

struct VideoIndex {
  int stream = -1;
  // The frames the decoder shows, in presentation order. Packets the
  // container marks as not to be shown (before an edit list's start) are
  // not among them, but keep their decode places.
  std::vector<IndexedFrame> frames;
  uint32_t packets = 0;  // video packets, shown or not
  // The frame shown by each packet in decode order; -1 for one not shown.
  std::vector<int64_t> frame_of_packet;

  // The pts where frame `n` ends: the next frame's, else its own plus its
  // duration (or the one before it's spacing).
  int64_t EndOf(uint64_t n) const;
  // The last clean key frame at or before frame `n`; -1 when there is none.
  int64_t CleanAtOrBefore(uint64_t n) const;
  // The last key frame (clean or not) at or before frame `n`; -1 when none.
  int64_t KeyAtOrBefore(uint64_t n) const;
  // The highest decode place among frames [first, last].
  uint32_t LastDecode(uint64_t first, uint64_t last) const;
  // Whether the packets from frame `first`'s to LastDecode(first, last) are
  // exactly frames [first, last]: then they can be copied as they are.
  bool CopiesExactly(uint64_t first, uint64_t last) const;
};

// Reads every packet of `format` once (no decoding) and indexes its first
// video stream. Fails for a file without one or with no frame.
VideoResult<VideoIndex> IndexVideo(AVFormatContext* format, const std::string& path);

}  // namespace velmar::video
