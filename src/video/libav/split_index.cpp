#include "video/libav/split_index.hpp"

#include <algorithm>
#include <limits>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "video/libav/decoder.hpp"

namespace velmar::video {

void InputCloser::operator()(AVFormatContext* format) const { avformat_close_input(&format); }

VideoResult<InputPtr> OpenInput(const std::string& path) {
  QuietLibraries();
  if (auto readable = CheckReadable(path); !readable) return std::unexpected(readable.error());
  AVFormatContext* raw = nullptr;
  int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (ret < 0) return std::unexpected(CannotOpen(path, ret));
  InputPtr format(raw);
  if (ret = avformat_find_stream_info(format.get(), nullptr); ret < 0) {
    return std::unexpected(CannotOpen(path, ret));
  }
  return format;
}

int FirstVideoStream(const AVFormatContext* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* s = format->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (s->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int64_t VideoIndex::EndOf(uint64_t n) const {
  if (n + 1 < frames.size()) return frames[n + 1].pts;
  const IndexedFrame& last = frames[n];
  if (last.duration > 0) return last.pts + last.duration;
  return n > 0 ? last.pts + (last.pts - frames[n - 1].pts) : last.pts + 1;
}

int64_t VideoIndex::CleanAtOrBefore(uint64_t n) const {
  for (int64_t i = static_cast<int64_t>(n); i >= 0; --i) {
    if (frames[i].clean) return i;
  }
  return -1;
}

int64_t VideoIndex::KeyAtOrBefore(uint64_t n) const {
  for (int64_t i = static_cast<int64_t>(n); i >= 0; --i) {
    if (frames[i].key) return i;
  }
  return -1;
}

uint32_t VideoIndex::LastDecode(uint64_t first, uint64_t last) const {
  uint32_t highest = 0;
  for (uint64_t i = first; i <= last; ++i) highest = std::max(highest, frames[i].decode);
  return highest;
}

bool VideoIndex::CopiesExactly(uint64_t first, uint64_t last) const {
  const uint32_t from = frames[first].decode;
  const uint32_t to = LastDecode(first, last);
  if (to - from != last - first) return false;
  for (uint32_t d = from; d <= to; ++d) {
    const int64_t f = frame_of_packet[d];
    if (f < static_cast<int64_t>(first) || f > static_cast<int64_t>(last)) return false;
  }
  return true;
}

namespace {

struct PacketEntry {
  int64_t pts;
  int64_t duration;
  uint32_t decode;
  bool key;
  bool shown;
};

// The frames of the packets in presentation order, with their clean key
// frames marked: a key frame is clean when every packet after it in
// decode order shows after it.
void Order(std::vector<PacketEntry>& packets, VideoIndex* index) {
  std::vector<int64_t> later_min(packets.size() + 1, std::numeric_limits<int64_t>::max());
  for (size_t d = packets.size(); d-- > 0;) {
    later_min[d] = std::min(later_min[d + 1], packets[d].pts);
  }
  index->frame_of_packet.assign(packets.size(), -1);
  std::vector<PacketEntry> shown;
  for (const PacketEntry& p : packets) {
    if (p.shown) shown.push_back(p);
  }
  std::stable_sort(shown.begin(), shown.end(),
                   [](const PacketEntry& a, const PacketEntry& b) { return a.pts < b.pts; });
  for (const PacketEntry& p : shown) {
    index->frame_of_packet[p.decode] = static_cast<int64_t>(index->frames.size());
    index->frames.push_back(IndexedFrame{p.pts, p.duration, p.decode, p.key,
                                         p.key && later_min[p.decode + 1] > p.pts});
  }
}

}  // namespace

VideoResult<VideoIndex> IndexVideo(AVFormatContext* format, const std::string& path) {
  VideoIndex index;
  index.stream = FirstVideoStream(format);
  if (index.stream < 0) {
    return std::unexpected(VideoError::Of(ErrorKind::kUnsupported, "no video stream in " + path));
  }
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) throw std::bad_alloc();
  std::vector<PacketEntry> packets;
  bool no_pts = false;
  int ret = 0;
  while ((ret = av_read_frame(format, packet)) >= 0) {
    if (packet->stream_index == index.stream) {
      no_pts = no_pts || packet->pts == AV_NOPTS_VALUE;
      packets.push_back(PacketEntry{packet->pts, packet->duration,
                                    static_cast<uint32_t>(packets.size()),
                                    (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                    (packet->flags & AV_PKT_FLAG_DISCARD) == 0});
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  if (ret != AVERROR_EOF) {
    return std::unexpected(VideoError::Of(
        ErrorKind::kInvalidData, "corrupt video: cannot read " + path + " (" + AvErrorText(ret) + ")"));
  }
  // A stream without presentation times shows its packets in decode order.
  if (no_pts) {
    for (PacketEntry& p : packets) p.pts = p.decode;
  }
  index.packets = static_cast<uint32_t>(packets.size());
  Order(packets, &index);
  if (index.frames.empty()) {
    return std::unexpected(
        VideoError::Of(ErrorKind::kInvalidData, "corrupt video stream: it holds no frame"));
  }
  return index;
}

}  // namespace velmar::video
