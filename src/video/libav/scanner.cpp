#include "video/libav/scanner.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
}

#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/difference.hpp"
#include "video/frame.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/gray_converter.hpp"
#include "common/fs.hpp"
#include "video/selection.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// A frame whose colour picture is kept until its image is written.
struct HeldPicture {
  uint64_t frame_number;
  double score;
  AvFramePtr picture;
};

// Holds the colour frames of the best `capacity` candidates seen so far, in
// ranking order: higher score first, the earlier frame first on equal
// scores. Frames arrive in order, so a later frame with an equal score never
// displaces an earlier one.
class BestCandidates {
 public:
  explicit BestCandidates(uint64_t capacity) : capacity_(capacity) {}

  // Keeps `picture` (a new reference, no copy) if the frame ranks among the
  // best so far.
  void Offer(uint64_t frame_number, double score, const AVFrame* picture) {
    if (capacity_ == 0) return;
    if (kept_.size() < capacity_) {
      kept_.push_back({frame_number, score, RefAvFrame(picture)});
      return;
    }
    auto worst = std::min_element(kept_.begin(), kept_.end(), Worse);
    if (!(score > worst->score)) return;
    *worst = HeldPicture{frame_number, score, RefAvFrame(picture)};
  }

  std::vector<HeldPicture>& kept() { return kept_; }

 private:
  // The candidate that ranks lower: lower score, or the later frame.
  static bool Worse(const HeldPicture& a, const HeldPicture& b) {
    if (a.score != b.score) return a.score < b.score;
    return a.frame_number > b.frame_number;
  }
  uint64_t capacity_;
  std::vector<HeldPicture> kept_;
};

// Finds out before decoding whether images can be written into `dir`:
// creates it (with parents), then a probe file in it.
VideoResult<void> PrepareOutputDir(const std::string& dir) {
  auto fail = [&](int err) {
    return std::unexpected(VideoError::FromErrno(
        "output directory not writable: " + dir + " (" + std::strerror(err) + ")", err));
  };
  if (std::error_code ec = CreateDirectories(dir)) return fail(ec.value());
  const std::string probe = Format("%s/.velmar-write-test-%d", dir.c_str(), ::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

// One scan in progress: the per-frame step and what the mode keeps.
class Scan {
 public:
  Scan(const ScanOptions& options, const StreamInfo& info, bool writes_images)
      : options_(options),
        top_k_only_(options.max_keyframes.has_value() && !options.threshold.has_value()),
        k_(options.max_keyframes.value_or(0)),
        cut_rule_(options.threshold.value_or(kDefaultCutThreshold), options.min_scene_len),
        converter_(options.downscale),
        best_(0) {
    out_.fps = info.fps;
    out_.duration = info.duration;
    // Which colour frames are kept: the best min(k, max_save) frames (top-k,
    // or the k highest cuts), or the first max_save cuts (threshold alone).
    if (writes_images) {
      capacity_ = options.max_keyframes.has_value() ? std::min(k_, options.max_save)
                                                    : options.max_save;
    }
    best_ = BestCandidates(options.max_keyframes.has_value() ? capacity_ : 0);
  }

  // The per-frame step, as a filter's per-frame function in a media
  // framework: frame `n` (decoded at `picture`, shown at `time`) becomes
  // gray, is scored against the frame before it, and goes through the
  // mode's rule, which may keep its colour picture.
  VideoResult<void> Step(uint64_t n, const AVFrame* picture, double time) {
    const auto t0 = Clock::now();
    if (auto converted = converter_.Convert(picture, &current_.data, &current_.width,
                                            &current_.height);
        !converted) {
      return converted;
    }
    current_.frame_number = n;
    if (n == 0) {
      out_.width = static_cast<uint64_t>(picture->width);
      out_.height = static_cast<uint64_t>(picture->height);
    }
    out_.times.push_back(time);
    const auto t1 = Clock::now();
    const double score = n == 0 ? 0.0 : FrameDifferenceSimd(previous_, current_, DEFAULT_BLOCK_SIZE);
    out_.scores.push_back(score);
    if (n > 0) ApplyRule(n, score, picture);
    std::swap(previous_, current_);
    out_.decode_time_ms += MsBetween(t0, t1);
    out_.score_time_ms += MsBetween(t1, Clock::now());
    return {};
  }

  // Decoding time spent outside Step.
  void AddDecodeTime(double ms) { out_.decode_time_ms += ms; }

  // After the last of `frame_count` frames: selects the keyframes and writes
  // their images.
  ScanOutcome Finish(uint64_t frame_count, ScanObserver* observer, Clock::time_point start) {
    out_.frame_count = frame_count;
    previous_ = VideoFrame{};
    current_ = VideoFrame{};
    const auto t_select = Clock::now();
    const std::vector<uint64_t> positions = Select(t_select);
    out_.score_time_ms += MsBetween(t_select, Clock::now());
    const auto t_write = Clock::now();
    WriteImages(positions, observer);
    const auto end = Clock::now();
    out_.write_time_ms = MsBetween(t_write, end);
    out_.total_time_ms = MsBetween(start, end);
    return std::move(out_);
  }

 private:
  void ApplyRule(uint64_t n, double score, const AVFrame* picture) {
    if (top_k_only_) {
      best_.Offer(n, score, picture);
      return;
    }
    if (!cut_rule_.IsCut(n, score)) return;
    cuts_.push_back(PairEntry{n, score});
    if (options_.max_keyframes.has_value()) {
      best_.Offer(n, score, picture);
    } else if (first_cuts_.size() < capacity_) {
      first_cuts_.push_back({n, score, RefAvFrame(picture)});
    }
  }

  std::vector<uint64_t> Select(Clock::time_point t_select) {
    const uint64_t n = out_.scores.size();
    if (top_k_only_) {
      std::vector<PairEntry> entries(n - 1);
      for (uint64_t i = 1; i < n; ++i) entries[i - 1] = PairEntry{i, out_.scores[i]};
      return SelectFromScores(std::move(entries), k_, false, t_select);
    }
    // The k highest cuts: the same selection, over the cuts alone.
    if (options_.max_keyframes.has_value()) return SelectFromScores(cuts_, k_, false, t_select);
    std::vector<uint64_t> positions;
    for (const PairEntry& cut : cuts_) positions.push_back(cut.position);
    return positions;
  }

  void WriteImages(const std::vector<uint64_t>& positions, ScanObserver* observer) {
    std::vector<HeldPicture>& kept =
        options_.max_keyframes.has_value() ? best_.kept() : first_cuts_;
    std::sort(kept.begin(), kept.end(), [](const HeldPicture& a, const HeldPicture& b) {
      return a.frame_number < b.frame_number;
    });
    auto next_kept = kept.begin();
    for (uint64_t position : positions) {
      ScanKeyframe keyframe{position, out_.times[position], out_.scores[position], std::nullopt};
      while (next_kept != kept.end() && next_kept->frame_number < position) ++next_kept;
      if (next_kept != kept.end() && next_kept->frame_number == position) {
        const std::string file = JoinPath(
            *options_.output_dir, Format("keyframe_%llu.%s", static_cast<unsigned long long>(position),
                                         ImageExtension(options_.image_format)));
        auto written = WriteFrameImage(next_kept->picture.get(), options_.image_format, file);
        next_kept->picture.reset();  // free each colour frame once written
        if (written) {
          keyframe.path = file;
          ++out_.images_written;
        } else {
          out_.image_errors.push_back(written.error().message);
        }
        const uint64_t frames = out_.frame_count;
        if (observer != nullptr && !observer->Poll(frames, frames)) throw Interrupted{};
      }
      out_.keyframes.push_back(std::move(keyframe));
    }
  }

  const ScanOptions& options_;
  const bool top_k_only_;
  const uint64_t k_;
  ThresholdCutRule cut_rule_;
  GrayConverter converter_;
  uint64_t capacity_ = 0;
  BestCandidates best_;
  std::vector<HeldPicture> first_cuts_;  // threshold alone
  std::vector<PairEntry> cuts_;          // threshold modes: the cuts in frame order
  VideoFrame previous_;
  VideoFrame current_;
  ScanOutcome out_;
};

}  // namespace

VideoResult<ScanOutcome> ScanVideo(const std::string& path, const ScanOptions& options,
                                   ScanObserver* observer) {
  const auto start = Clock::now();
  auto opened = AvDecoder::Open(path);
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
  Scan scan(options, info, writes_images);
  AvFramePtr picture = NewAvFrame();
  uint64_t n = 0;
  auto last_poll = Clock::now();
  for (;; ++n) {
    const auto t0 = Clock::now();
    auto got = decoder.Next(picture.get(), n);
    if (!got) return std::unexpected(got.error());
    if (!*got) break;
    const double time = decoder.FrameTime(picture.get(), info.fps > 0 ? n / info.fps : 0.0);
    const auto t1 = Clock::now();
    if (auto stepped = scan.Step(n, picture.get(), time); !stepped) {
      return std::unexpected(stepped.error());
    }
    scan.AddDecodeTime(MsBetween(t0, t1));
    if (observer != nullptr && MsBetween(last_poll, Clock::now()) >= kScanPollIntervalMs) {
      if (!observer->Poll(n + 1, std::max(info.expected_frames, n + 1))) throw Interrupted{};
      last_poll = Clock::now();
    }
  }
  if (n == 0) return std::unexpected(VideoError{"corrupt video stream: it holds no frame", {}});
  return scan.Finish(n, observer, start);
}

}  // namespace velmar::video
