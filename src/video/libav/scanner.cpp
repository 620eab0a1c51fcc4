#include "video/libav/scanner.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/difference.hpp"
#include "video/frame.hpp"
#include "video/libav/box_downscale.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/gray_converter.hpp"
#include "video/libav/scan_images.hpp"
#include "video/libav/scan_modes.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Finds out before decoding whether images can be written into `dir`:
// creates it (with parents), then a probe file in it. The probe is an
// unnamed file where the file system allows one, so a process killed at
// this moment leaves nothing behind in the user's folder.
VideoResult<void> PrepareOutputDir(const std::string& dir) {
  auto fail = [&](int err) {
    return std::unexpected(VideoError::FromErrno(
        "output directory not writable: " + dir + " (" + std::strerror(err) + ")", err));
  };
  if (std::error_code ec = CreateDirectories(dir)) return fail(ec.value());
  int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return {};
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(errno);
  const std::string probe = dir + "/" + std::string(kWriteProbePrefix) + std::to_string(::getpid());
  fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

// How far a frame's time may fall short of a range's bound and still count
// as at it: a bound given in frames becomes seconds by a division that the
// frame's own timestamp may miss by a rounding.
constexpr double kTimeSlack = 1e-6;

struct TimeRange {
  double start = 0.0;
  std::optional<double> end;
};

VideoError BadRange(std::string message) {
  return VideoError::FromErrno(std::move(message), EINVAL);
}

VideoResult<double> BoundSeconds(const RangeBound& bound, const StreamInfo& info) {
  if (!bound.in_frames) return bound.value;
  if (info.fps <= 0) {
    return std::unexpected(BadRange("the video gives no frame rate to count frames by; "
                                    "give the range in seconds"));
  }
  return bound.value / info.fps;
}

// The range in seconds; fails (EINVAL) for one that starts at or past the
// end the header declares.
VideoResult<TimeRange> ResolveRange(const ScanOptions& options, const StreamInfo& info) {
  TimeRange range;
  if (options.start) {
    auto seconds = BoundSeconds(*options.start, info);
    if (!seconds) return std::unexpected(seconds.error());
    range.start = *seconds;
  }
  if (options.end) {
    auto seconds = BoundSeconds(*options.end, info);
    if (!seconds) return std::unexpected(seconds.error());
    range.end = *seconds;
  }
  if (range.end && range.start >= *range.end) {
    return std::unexpected(BadRange(Format("start (%.3f s) is not before end (%.3f s)",
                                           range.start, *range.end)));
  }
  if (range.start > 0 && info.duration > 0 && range.start >= info.duration) {
    return std::unexpected(BadRange(Format("start (%.3f s) is at or beyond the end of the "
                                           "video (%.3f s)", range.start, info.duration)));
  }
  return range;
}

// The frames a scan of `range` should see, for its progress total.
uint64_t ExpectedFrames(const TimeRange& range, const StreamInfo& info) {
  if (range.start <= 0 && !range.end) return info.expected_frames;
  double last = info.duration > 0 ? info.duration : range.end.value_or(0.0);
  if (range.end) last = std::min(last, *range.end);
  return info.fps > 0 && last > range.start
             ? static_cast<uint64_t>(std::llround((last - range.start) * info.fps))
             : 0;
}

// Seeks `decoder` to the key frame at or before `start` seconds and decodes
// the first picture from there into `picture`; returns whether there was
// one. A container whose index is by decoding time may land on a key frame
// shown after `start`: then it seeks again, further back each time.
VideoResult<bool> SeekToRange(AvDecoder& decoder, double start, AVFrame* picture) {
  for (double back = 0.0;; back = std::max(1.0, 2 * back)) {
    const double target = std::max(0.0, start - back);
    if (auto sought = decoder.SeekBefore(target); !sought) return std::unexpected(sought.error());
    auto got = decoder.Next(picture, 0);
    if (!got || !*got) return got;
    if (target == 0.0 || decoder.FrameTime(picture, start) <= start + kTimeSlack) return true;
  }
}

// One scan in progress: the per-frame step, which makes each decoded
// picture gray, scores it and hands it to the mode.
class Scan {
 public:
  Scan(const ScanOptions& options, const StreamInfo& info, ScanObserver* observer)
      : converter_(options.downscale, options.max_pixels),
        images_(options, info.rotation, &out_, observer),
        header_duration_(info.duration) {
    out_.fps = info.fps;
    mode_ = MakeScanMode(options, &out_, &images_);
  }

  // Before the first Step: the number of the first frame scanned, and the
  // frame before it (null when it is the video's first), which it is scored
  // against.
  void Begin(uint64_t first_frame, const AVFrame* before) {
    out_.first_frame = first_frame;
    if (before == nullptr) return;
    uint64_t width = 0, height = 0;
    if (converter_.Convert(before, &previous_.data, &width, &height)) {
      previous_.width = width;
      previous_.height = height;
      has_before_ = true;
    }
  }

  // The per-frame step, as a filter's per-frame function in a media
  // framework: frame `n` (decoded at `picture`, stamped `stamp`, lasting
  // `frame_duration`) becomes gray, is scored against the frame before it (a
  // picture of another size is first resampled to the first frame's), and
  // goes to the mode.
  VideoResult<void> Step(uint64_t n, const AVFrame* picture, double stamp,
                         double frame_duration) {
    const auto t0 = Clock::now();
    uint64_t width = 0, height = 0;
    if (auto converted = converter_.Convert(picture, &current_.data, &width, &height);
        !converted) {
      return converted;
    }
    if (n == 0) {
      out_.width = static_cast<uint64_t>(picture->width);
      out_.height = static_cast<uint64_t>(picture->height);
      first_width_ = width;
      first_height_ = height;
    }
    const bool size_changed = n > 0 && (width != last_width_ || height != last_height_);
    last_width_ = width;
    last_height_ = height;
    if (width != first_width_ || height != first_height_) {
      ResampleGray(current_.data.data(), width, height, first_width_, first_height_, &resampled_);
      std::swap(current_.data, resampled_);
    }
    current_.frame_number = n;
    current_.width = first_width_;
    current_.height = first_height_;
    out_.times.push_back(FrameTime(n, stamp, frame_duration));
    const auto t1 = Clock::now();

    const bool scored = n > 0 || (has_before_ && previous_.width == current_.width &&
                                  previous_.height == current_.height);
    const double score = scored ? FrameDifferenceSimd(previous_, current_, DEFAULT_BLOCK_SIZE) : 0.0;
    out_.scores.push_back(score);
    mode_->OnFrame(ScanFrame{n, score, size_changed, current_.Pixels(), first_width_,
                             first_height_, picture});
    std::swap(previous_, current_);
    out_.decode_time_ms += MsBetween(t0, t1);
    out_.score_time_ms += MsBetween(t1, Clock::now());
    return {};
  }

  // Frame `n`'s time on a clock that never runs back. A timestamp that
  // jumps back (stream segments joined end to end, a clock that wrapped)
  // would give scenes that end before they start; it is carried on from the
  // last good time by one frame's duration, and the frames after it keep
  // their own spacing from there.
  double FrameTime(uint64_t n, double stamp, double frame_duration) {
    double time = stamp + offset_;
    if (n > 0 && time <= out_.times.back()) {
      const double carried = out_.times.back() + last_duration_;
      if (jumps_++ == 0) {
        first_jump_frame_ = out_.first_frame + n;
        first_jump_from_ = out_.times.back();
        first_jump_to_ = time;
      }
      offset_ += carried - time;
      time = carried;
    }
    last_duration_ = frame_duration;
    return time;
  }

  // Decoding time spent outside Step.
  void AddDecodeTime(double ms) { out_.decode_time_ms += ms; }

  // After the last of `frame_count` frames (`whole`: the last of the
  // video): the mode's keyframes, scenes and last images.
  ScanOutcome Finish(uint64_t frame_count, bool whole, Clock::time_point start) {
    out_.frame_count = frame_count;
    // The video ends where its frames end; a header that says otherwise
    // (a file cut short, a header that lies) is reported, never believed.
    out_.duration = out_.times.back() + last_duration_;
    if (whole && header_duration_ > 0 && std::abs(header_duration_ - out_.duration) > 1.0) {
      out_.warnings.push_back(Format("the header declares a duration of %.3f s, but the frames "
                                     "end at %.3f s; times follow the frames",
                                     header_duration_, out_.duration));
    }
    if (jumps_ > 0) {
      const std::string more =
          jumps_ > 1 ? Format(" and %llu more times", static_cast<unsigned long long>(jumps_ - 1))
                     : "";
      out_.warnings.push_back(Format(
          "timestamps jump back at frame %llu (from %.3f s to %.3f s)%s; times are carried on "
          "from the last good timestamp by the frame duration",
          static_cast<unsigned long long>(first_jump_frame_), first_jump_from_, first_jump_to_,
          more.c_str()));
    }
    previous_ = VideoFrame{};
    current_ = VideoFrame{};
    const auto t_finish = Clock::now();
    const double written_before = out_.write_time_ms;
    mode_->Finish();
    const double writing = out_.write_time_ms - written_before;
    out_.score_time_ms += std::max(0.0, MsBetween(t_finish, Clock::now()) - writing);
    out_.total_time_ms = MsBetween(start, Clock::now());
    Renumber();
    return std::move(out_);
  }

 private:
  // The modes count from the first frame scanned; the outcome gives the
  // video's frame numbers.
  void Renumber() {
    const uint64_t first = out_.first_frame;
    if (first == 0) return;
    for (ScanKeyframe& keyframe : out_.keyframes) keyframe.frame_number += first;
    for (ScanScene& scene : out_.scenes) {
      scene.start_frame += first;
      scene.end_frame += first;
      scene.transition_first += first;
      scene.transition_last += first;
      if (scene.keyframe) scene.keyframe->frame_number += first;
      for (ScanKeyframe& picture : scene.pictures) picture.frame_number += first;
    }
  }

  GrayConverter converter_;
  ScanOutcome out_;
  ScanImages images_;
  std::unique_ptr<ScanMode> mode_;
  uint64_t first_width_ = 0, first_height_ = 0;
  uint64_t last_width_ = 0, last_height_ = 0;
  VideoFrame previous_;
  VideoFrame current_;
  bool has_before_ = false;  // previous_ holds the frame before the range
  std::vector<uint8_t> resampled_;
  double header_duration_;     // what the container claims, 0 when unknown
  double offset_ = 0.0;        // added to the timestamps since the last jump back
  double last_duration_ = 0.0; // of the frame before
  uint64_t jumps_ = 0;
  uint64_t first_jump_frame_ = 0;
  double first_jump_from_ = 0.0, first_jump_to_ = 0.0;
};

}  // namespace

VideoResult<ScanOutcome> ScanVideo(const std::string& path, const ScanOptions& asked,
                                   ScanObserver* observer) {
  const auto start = Clock::now();
  // Scene detection works on block-averaged pictures and writes only
  // exact ones (see PictureCandidate), so it can take the faster decode; the
  // other modes' scores and pictures are those of the ffmpeg program's frames.
  const bool scene_mode = !asked.max_keyframes && !asked.threshold;
  auto opened = AvDecoder::Open(
      path, scene_mode ? DecodeFidelity::kExactReferences : DecodeFidelity::kExact,
      asked.max_pixels);
  if (!opened) return std::unexpected(opened.error());
  AvDecoder& decoder = **opened;
  const StreamInfo& info = decoder.info();
  ScanOptions options = asked;
  options.video_name = BaseName(path);
  if (const size_t dot = options.video_name.rfind('.'); dot != 0 && dot != std::string::npos) {
    options.video_name.resize(dot);
  }
  if (options.min_scene_seconds) {
    if (info.fps <= 0) {
      return std::unexpected(BadRange("the video gives no frame rate to turn a minimum scene "
                                      "length in seconds into frames; give it in frames"));
    }
    options.min_scene_len = static_cast<uint64_t>(
        std::max(1.0, std::round(*options.min_scene_seconds * info.fps)));
  }
  auto range = ResolveRange(options, info);
  if (!range) return std::unexpected(range.error());
  const bool writes_images = options.output_dir.has_value() && options.max_save > 0 &&
                             options.max_keyframes.value_or(1) > 0;
  if (writes_images) {
    if (auto ready = PrepareOutputDir(*options.output_dir); !ready) {
      return std::unexpected(ready.error());
    }
  }

  Scan scan(options, info, observer);
  AvFramePtr picture = NewAvFrame();
  AvFramePtr before;  // the last frame before the range, which frame 0 is scored against
  // A range that starts later seeks there; its frame numbers then come from
  // the timestamps, unless the seek landed on the video's first frame.
  bool decoded = false;
  if (range->start > 0 && info.fps > 0) {
    auto first = SeekToRange(decoder, range->start, picture.get());
    if (!first) return std::unexpected(first.error());
    decoded = *first;
  }
  bool counted = !decoded || decoder.FrameTime(picture.get(), 0.0) <= kTimeSlack;
  const uint64_t expected = ExpectedFrames(*range, info);
  uint64_t n = 0, skipped = 0;
  bool cut_short = false;
  auto last_poll = Clock::now();
  for (;; decoded = false) {
    const auto t0 = Clock::now();
    if (!decoded) {
      auto got = decoder.Next(picture.get(), skipped + n);
      if (!got) return std::unexpected(got.error());
      if (!*got) break;
    }
    const double stamp =
        decoder.FrameTime(picture.get(), info.fps > 0 ? (skipped + n) / info.fps : 0.0);
    if (n == 0 && stamp + kTimeSlack < range->start) {
      before = RefAvFrame(picture.get());
      ++skipped;
      continue;
    }
    if (range->end && stamp + kTimeSlack >= *range->end) {
      cut_short = true;
      break;
    }
    if (n == 0) {
      scan.Begin(counted ? skipped : static_cast<uint64_t>(std::llround(stamp * info.fps)),
                 before.get());
      before.reset();
    }
    // A frame's own duration where the stream gives one (it follows a
    // variable frame rate), else the frame rate's.
    double frame_duration = decoder.FrameDuration(picture.get());
    if (frame_duration <= 0 && info.fps > 0) frame_duration = 1.0 / info.fps;
    scan.AddDecodeTime(MsBetween(t0, Clock::now()));
    if (auto stepped = scan.Step(n, picture.get(), stamp, frame_duration); !stepped) {
      return std::unexpected(stepped.error());
    }
    ++n;
    if (observer != nullptr && MsBetween(last_poll, Clock::now()) >= kScanPollIntervalMs) {
      if (!observer->Poll(n, std::max(expected, n))) throw Interrupted{};
      last_poll = Clock::now();
    }
  }
  if (n == 0 && (options.start || options.end)) {
    return std::unexpected(BadRange("no frame of the video lies in the range asked for"));
  }
  if (n == 0) return std::unexpected(
        VideoError::Of(ErrorKind::kInvalidData, "corrupt video stream: it holds no frame"));
  return scan.Finish(n, !cut_short, start);
}

}  // namespace velmar::video
