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

    const double score = n == 0 ? 0.0 : FrameDifferenceSimd(previous_, current_, DEFAULT_BLOCK_SIZE);
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
        first_jump_frame_ = n;
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

  // After the last of `frame_count` frames: the mode's keyframes, scenes and
  // last images.
  ScanOutcome Finish(uint64_t frame_count, Clock::time_point start) {
    out_.frame_count = frame_count;
    // The video ends where its frames end; a header that says otherwise
    // (a file cut short, a header that lies) is reported, never believed.
    out_.duration = out_.times.back() + last_duration_;
    if (header_duration_ > 0 && std::abs(header_duration_ - out_.duration) > 1.0) {
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
    return std::move(out_);
  }

 private:
  GrayConverter converter_;
  ScanOutcome out_;
  ScanImages images_;
  std::unique_ptr<ScanMode> mode_;
  uint64_t first_width_ = 0, first_height_ = 0;
  uint64_t last_width_ = 0, last_height_ = 0;
  VideoFrame previous_;
  VideoFrame current_;
  std::vector<uint8_t> resampled_;
  double header_duration_;     // what the container claims, 0 when unknown
  double offset_ = 0.0;        // added to the timestamps since the last jump back
  double last_duration_ = 0.0; // of the frame before
  uint64_t jumps_ = 0;
  uint64_t first_jump_frame_ = 0;
  double first_jump_from_ = 0.0, first_jump_to_ = 0.0;
};

}  // namespace

VideoResult<ScanOutcome> ScanVideo(const std::string& path, const ScanOptions& options,
                                   ScanObserver* observer) {
  const auto start = Clock::now();
  // Scene detection works on block-averaged pictures and writes only
  // exact ones (see PictureCandidate), so it can take the faster decode; the
  // other modes' scores and pictures are those of the ffmpeg program's frames.
  const bool scene_mode = !options.max_keyframes && !options.threshold;
  auto opened = AvDecoder::Open(
      path, scene_mode ? DecodeFidelity::kExactReferences : DecodeFidelity::kExact,
      options.max_pixels);
  if (!opened) return std::unexpected(opened.error());
  AvDecoder& decoder = **opened;
  const bool writes_images = options.output_dir.has_value() && options.max_save > 0 &&
                             options.max_keyframes.value_or(1) > 0;
  if (writes_images) {
    if (auto ready = PrepareOutputDir(*options.output_dir); !ready) {
      return std::unexpected(ready.error());
    }
  }

  const StreamInfo& info = decoder.info();
  Scan scan(options, info, observer);
  AvFramePtr picture = NewAvFrame();
  uint64_t n = 0;
  auto last_poll = Clock::now();
  for (;; ++n) {
    const auto t0 = Clock::now();
    auto got = decoder.Next(picture.get(), n);
    if (!got) return std::unexpected(got.error());
    if (!*got) break;
    const double stamp = decoder.FrameTime(picture.get(), info.fps > 0 ? n / info.fps : 0.0);
    // A frame's own duration where the stream gives one (it follows a
    // variable frame rate), else the frame rate's.
    double frame_duration = decoder.FrameDuration(picture.get());
    if (frame_duration <= 0 && info.fps > 0) frame_duration = 1.0 / info.fps;
    scan.AddDecodeTime(MsBetween(t0, Clock::now()));
    if (auto stepped = scan.Step(n, picture.get(), stamp, frame_duration); !stepped) {
      return std::unexpected(stepped.error());
    }
    if (observer != nullptr && MsBetween(last_poll, Clock::now()) >= kScanPollIntervalMs) {
      if (!observer->Poll(n + 1, std::max(info.expected_frames, n + 1))) throw Interrupted{};
      last_poll = Clock::now();
    }
  }
  if (n == 0) {
    return std::unexpected(
        VideoError::Of(ErrorKind::kInvalidData, "corrupt video stream: it holds no frame"));
  }
  return scan.Finish(n, start);
}

}  // namespace velmar::video
