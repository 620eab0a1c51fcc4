#include "video/scanner.hpp"

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
#include "video/av_decoder.hpp"
#include "video/difference.hpp"
#include "video/ffmpeg.hpp"
#include "video/frame.hpp"
#include "video/keyframes.hpp"

namespace velmar::video {

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// A candidate whose colour frame is kept until the images are written.
struct Candidate {
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
    *worst = Candidate{frame_number, score, RefAvFrame(picture)};
  }

  std::vector<Candidate>& kept() { return kept_; }

 private:
  // The candidate that ranks lower: lower score, or the later frame.
  static bool Worse(const Candidate& a, const Candidate& b) {
    if (a.score != b.score) return a.score < b.score;
    return a.frame_number > b.frame_number;
  }
  uint64_t capacity_;
  std::vector<Candidate> kept_;
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

}  // namespace

VideoResult<ScanOutcome> ScanVideo(const std::string& path, const ScanOptions& options,
                                   ScanObserver* observer) {
  const auto start = Clock::now();
  const bool top_k_only = options.max_keyframes.has_value() && !options.threshold.has_value();
  const double threshold = options.threshold.value_or(kDefaultScanThreshold);
  const uint64_t k = options.max_keyframes.value_or(0);

  auto opened = AvDecoder::Open(path);
  if (!opened) return std::unexpected(opened.error());
  AvDecoder& decoder = **opened;

  // Which colour frames are kept: the best min(k, max_save) frames (top-k,
  // or the k highest cuts), or the first max_save cuts (threshold alone).
  const bool writes_images = options.output_dir.has_value() && options.max_save > 0 &&
                             (!options.max_keyframes.has_value() || k > 0);
  uint64_t capacity = 0;
  if (writes_images) {
    capacity = options.max_keyframes.has_value() ? std::min(k, options.max_save) : options.max_save;
    if (auto ready = PrepareOutputDir(*options.output_dir); !ready) {
      return std::unexpected(ready.error());
    }
  }
  BestCandidates best(options.max_keyframes.has_value() ? capacity : 0);
  std::vector<Candidate> first_cuts;  // threshold alone

  ScanOutcome out;
  const StreamInfo& info = decoder.info();
  out.fps = info.fps;
  out.duration = info.duration;
  GrayConverter converter(options.downscale);
  AvFramePtr picture = NewAvFrame();
  VideoFrame previous;
  VideoFrame current;
  std::vector<PairEntry> cuts;  // threshold modes: the cuts in frame order
  uint64_t last_cut = 0;
  uint64_t n = 0;
  auto last_poll = Clock::now();

  for (;; ++n) {
    const auto t0 = Clock::now();
    auto got = decoder.Next(picture.get(), n);
    if (!got) return std::unexpected(got.error());
    if (!*got) break;
    if (auto converted = converter.Convert(picture.get(), &current.data, &current.width,
                                           &current.height);
        !converted) {
      return std::unexpected(converted.error());
    }
    current.frame_number = n;
    if (n == 0) {
      out.width = static_cast<uint64_t>(picture->width);
      out.height = static_cast<uint64_t>(picture->height);
    }
    out.times.push_back(decoder.FrameTime(picture.get(), info.fps > 0 ? n / info.fps : 0.0));
    const auto t1 = Clock::now();

    const double score = n == 0 ? 0.0 : FrameDifferenceSimd(previous, current, DEFAULT_BLOCK_SIZE);
    out.scores.push_back(score);
    if (n > 0) {
      if (top_k_only) {
        best.Offer(n, score, picture.get());
      } else if (score >= threshold && n - last_cut >= options.min_scene_len) {
        last_cut = n;
        cuts.push_back(PairEntry{n, score});
        if (options.max_keyframes.has_value()) {
          best.Offer(n, score, picture.get());
        } else if (first_cuts.size() < capacity) {
          first_cuts.push_back({n, score, RefAvFrame(picture.get())});
        }
      }
    }
    std::swap(previous, current);
    const auto t2 = Clock::now();
    out.decode_time_ms += MsBetween(t0, t1);
    out.score_time_ms += MsBetween(t1, t2);

    if (observer != nullptr && MsBetween(last_poll, t2) >= kScanPollIntervalMs) {
      if (!observer->Poll(n + 1, std::max(info.expected_frames, n + 1))) throw Interrupted{};
      last_poll = Clock::now();
    }
  }
  out.frame_count = n;
  if (n == 0) {
    return std::unexpected(VideoError{"corrupt video stream: it holds no frame", {}});
  }
  previous = VideoFrame{};
  current = VideoFrame{};

  const auto t_select = Clock::now();
  std::vector<uint64_t> positions;
  if (top_k_only) {
    std::vector<PairEntry> entries(n - 1);
    for (uint64_t i = 1; i < n; ++i) entries[i - 1] = PairEntry{i, out.scores[i]};
    positions = SelectFromScores(std::move(entries), k, false, t_select);
  } else if (options.max_keyframes.has_value()) {
    // The k highest cuts: the same selection, over the cuts alone.
    positions = SelectFromScores(cuts, k, false, t_select);
  } else {
    for (const PairEntry& cut : cuts) positions.push_back(cut.position);
  }
  out.score_time_ms += MsBetween(t_select, Clock::now());

  std::vector<Candidate>& kept = options.max_keyframes.has_value() ? best.kept() : first_cuts;
  std::sort(kept.begin(), kept.end(),
            [](const Candidate& a, const Candidate& b) { return a.frame_number < b.frame_number; });

  const auto t_write = Clock::now();
  auto next_kept = kept.begin();
  for (uint64_t position : positions) {
    ScanKeyframe keyframe{position, out.times[position], out.scores[position], std::nullopt};
    while (next_kept != kept.end() && next_kept->frame_number < position) ++next_kept;
    if (next_kept != kept.end() && next_kept->frame_number == position) {
      const std::string file = Format("%s%skeyframe_%llu.%s", options.output_dir->c_str(),
                                      options.output_dir->ends_with('/') ? "" : "/",
                                      static_cast<unsigned long long>(position),
                                      ImageExtension(options.image_format));
      auto written = WriteFrameImage(next_kept->picture.get(), options.image_format, file);
      next_kept->picture.reset();  // free each colour frame once written
      if (written) {
        keyframe.path = file;
        ++out.images_written;
      } else {
        out.image_errors.push_back(written.error().message);
      }
      if (observer != nullptr && !observer->Poll(n, n)) throw Interrupted{};
    }
    out.keyframes.push_back(std::move(keyframe));
  }
  const auto end = Clock::now();
  out.write_time_ms = MsBetween(t_write, end);
  out.total_time_ms = MsBetween(start, end);
  return out;
}

}  // namespace velmar::video
