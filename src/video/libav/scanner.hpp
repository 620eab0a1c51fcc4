#pragma once

// The single-pass scanner: decodes a video in process, scores every frame
// against the one before it as it arrives, finds scenes, keyframes or cuts,
// and writes their images straight from the decoded colour frames as soon
// as each is final.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "video/frame.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/image_writer.hpp"
#include "video/scene_detection.hpp"
#include "video/selection.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// One end of a time range: seconds from the stream's start, or a frame
// number (converted with the stream's frame rate once the file is open).
struct RangeBound {
  double value = 0.0;
  bool in_frames = false;
};

// The most pictures a scene may have: a scene holds about twice as many
// colour frames as candidates until it closes (some 100 MB at 1080p here).
inline constexpr uint64_t kMaxImagesPerScene = 16;

struct ScanOptions {
  // Top-k alone: the specified selection rule over every frame. Threshold
  // alone: cuts. Both: the k highest cuts. Neither: scene detection.
  std::optional<uint64_t> max_keyframes;
  std::optional<double> threshold;  // finite and > 0
  uint64_t min_scene_len = kDefaultMinSceneLen;
  // When given (finite, > 0), replaces min_scene_len once the stream's frame
  // rate is known: round(seconds x fps) frames, at least 1.
  std::optional<double> min_scene_seconds;
  std::optional<std::string> output_dir;  // no images when absent
  ImageFormat image_format = ImageFormat::kJpeg;
  uint64_t max_save = DEFAULT_MAX_SAVE;
  uint64_t downscale = 1;  // >= 1
  uint64_t max_pixels = kDefaultMaxPixels;  // larger pictures are refused
  // Only the frames in [start, end): decoding starts at the key frame at or
  // before `start` and stops at `end`. Both finite and >= 0, start < end.
  std::optional<RangeBound> start;
  std::optional<RangeBound> end;
  // Scene detection's one knob, in [0, 1]; 0.5 is the detector's defaults
  // (see TunedSceneDetector).
  double sensitivity = 0.5;
  // How the images look and are named.
  int image_quality = kDefaultImageQuality;  // JPEG and WebP, 1..100
  int image_width = 0;   // 0: follows image_height, keeping the aspect ratio
  int image_height = 0;  // (both 0: the video's size)
  // Scene detection: pictures per scene, spread over its calm frames, at
  // most kMaxImagesPerScene.
  uint64_t images_per_scene = 1;
  // The images' name template (ImageNameProblem finds no fault in it), the
  // extension added; empty: ScanImageName's names. {video} is video_name,
  // which ScanVideo sets from the path.
  std::string image_name = {};
  std::string video_name = {};
};

struct ScanKeyframe {
  uint64_t frame_number = 0;
  double time = 0.0;  // seconds from the stream's start (ScanOutcome::times)
  double score = 0.0;
  std::optional<std::string> path;  // the image written, if any
};

// One scene: a run of frames between two boundaries.
struct ScanScene {
  uint64_t start_frame = 0;
  uint64_t end_frame = 0;  // inclusive
  double start_time = 0.0;
  double end_time = 0.0;  // the next frame's time; the end of the last frame for the last scene
  TransitionKind transition = TransitionKind::kStart;
  // Every picture of the scene in frame order, `keyframe` (the best) among
  // them; scene detection alone gives more than one (images_per_scene).
  std::vector<ScanKeyframe> pictures;
  // First and last frame of the transition that opened the scene (one frame
  // for a cut; frame 0 for the first scene).
  uint64_t transition_first = 0;
  uint64_t transition_last = 0;
  // The best picture; none for a blank scene unless it is the video's only
  // one (then `pictures` is empty too).
  std::optional<ScanKeyframe> keyframe;
  // Scene detection: every frame of the scene outside the transitions
  // around it is one flat colour (IsPlainThumbnail): a hold of black, white
  // or a plain card, which no picture would show anything of.
  bool blank = false;
};

struct ScanOutcome {
  std::vector<ScanKeyframe> keyframes;  // ascending frame numbers
  // Scene detection: every scene, in order, partitioning the frames. The
  // threshold modes: the scenes between the cuts found. Top-k alone: none.
  std::vector<ScanScene> scenes;
  // scores[i] and times[i] are those of frame first_frame + i: its score
  // against the frame before it (0 for the video's first frame, and for a
  // range's first frame when the frame before has another size) and its
  // time: its own timestamp from the stream's start, except where the
  // timestamps jump back (then carried on, see warnings), so times never
  // decrease. Frame numbers everywhere else are the whole video's.
  std::vector<double> scores;
  std::vector<double> times;
  // The first frame scanned: 0, or for a range that did not start at the
  // video's first frame, the number its timestamp gives at the stream's
  // frame rate (estimated on variable-frame-rate video).
  uint64_t first_frame = 0;
  uint64_t width = 0;  // of the first frame
  uint64_t height = 0;
  uint64_t frame_count = 0;  // frames scanned (of the range)
  double fps = 0.0;
  // The end of the last scanned frame: its time plus one frame's duration
  // (its own, else from the frame rate). The header's claim is not used.
  double duration = 0.0;
  double decode_time_ms = 0.0;  // demuxing, decoding and gray conversion
  double score_time_ms = 0.0;   // pair scores and candidate bookkeeping
  double write_time_ms = 0.0;   // encoding and writing images
  double total_time_ms = 0.0;
  uint64_t images_written = 0;
  std::vector<std::string> image_errors;  // one line per image that failed
  // What in the file disagreed with its frames: a header duration more than
  // a second off the decoded end, timestamps that jump back.
  std::vector<std::string> warnings;
};

// The host's view of a running scan. Poll is called on the scanning thread
// between frames and between images, at most every kScanPollInterval; it
// returns false to stop the scan (the scan then throws velmar::Interrupted,
// and the host reports its own error).
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  virtual bool Poll(uint64_t frames_done, uint64_t frames_expected) = 0;
};
inline constexpr double kScanPollIntervalMs = 40.0;

// Scans `path`. Errors name a reason a user can act on: no such file, no
// video stream, not a video FFmpeg can open, a corrupt stream (with the
// frames decoded so far), an output directory that cannot be written. A
// range the video cannot give (starting at or past its end, holding no
// frame, in frames on a stream without a frame rate) fails with cause
// EINVAL, as does min_scene_seconds on a stream without a frame rate.
// Images that fail are listed in image_errors and never counted.
VideoResult<ScanOutcome> ScanVideo(const std::string& path, const ScanOptions& options,
                                   ScanObserver* observer);

}  // namespace velmar::video
