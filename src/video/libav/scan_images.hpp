#pragma once

// The images a scan writes: their names, their turn upright, the max_save
// limit, and the failures, which are reported, never counted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "video/libav/scanner.hpp"
#include "video/video_error.hpp"

struct AVFrame;

namespace velmar::video {

// "keyframe_<frame number, at least six digits>.<ext>": names sort in frame
// order up to a million frames.
inline constexpr std::string_view kScanImagePrefix = "keyframe_";
std::string ScanImageName(uint64_t frame_number, ImageFormat format);

// The name template of the images when none is given: ScanImageName's names.
inline constexpr std::string_view kDefaultImageName = "keyframe_{frame:06d}";

// What an image name template may say about its picture.
struct ImageNameFields {
  std::string_view video;  // the video's file name without its extension
  uint64_t scene = 0;      // from 1
  uint64_t frame = 0;      // the video's frame number
  double time = 0.0;       // seconds, written HH-MM-SS.mmm
};

// Why `name_template` cannot name the images of a scan that writes up to
// `per_scene` pictures a scene, or "" when it can. A template is text with
// fields {video}, {scene}, {frame} and {time} ({{ and }} for braces); scene
// and frame take a format spec of a width, optionally zero-padded and
// followed by d ({frame:06d}). It must be able to tell two pictures apart
// ({frame} or {time}; {scene} does while there is one picture a scene) and
// must not name another directory.
std::string ImageNameProblem(std::string_view name_template, uint64_t per_scene);

// The name `name_template` (ImageNameProblem found none) gives a picture,
// without its extension.
std::string FormatImageName(std::string_view name_template, const ImageNameFields& fields);

// Where the file system cannot make an unnamed file, a scan checks that its
// output directory is writable with a file "<prefix><pid>", then removes it.
inline constexpr std::string_view kWriteProbePrefix = ".velmar-write-test-";

// A regular expression (std::regex and Python's re alike) that every name a
// scan may leave in its output directory fullmatches, and nothing else: its
// images (with any number of digits), their temporary files, and the write
// probe of a scan killed while checking. The velmar command removes the
// images an earlier run left by it.
std::string ScanFilePattern();

class ScanImages {
 public:
  // Writes into options.output_dir (none: writes nothing), turning each
  // picture by `rotation` clockwise degrees; adds its time and results to
  // `out`. After each image it polls `observer` (if any), so that Ctrl-C
  // stops a long run of images too (throws velmar::Interrupted).
  ScanImages(const ScanOptions& options, int rotation, ScanOutcome* out, ScanObserver* observer);

  // True while another image may be written: an output directory is given
  // and fewer than max_save images have been tried.
  bool HasRoom() const;

  // Frame numbers here count from the first frame scanned; the images are
  // named by the video's (ScanOutcome::first_frame added).

  // Writes `picture` as the image of `keyframe` now: sets keyframe->path, or
  // lists the failure. Counts toward max_save either way.
  // `scene` is the picture's scene for the name template, from 1.
  void Write(const AVFrame* picture, ScanKeyframe* keyframe, uint64_t scene = 0);

  // The bytes of `picture`'s image, for an image that is written later
  // (WriteEncoded); a failure is kept and reported then.
  VideoResult<std::vector<uint8_t>> Encode(const AVFrame* picture, uint64_t frame_number);

  // Writes bytes from Encode as the image of `keyframe`, as Write does.
  void WriteEncoded(const VideoResult<std::vector<uint8_t>>& bytes, ScanKeyframe* keyframe,
                    uint64_t scene = 0);

 private:
  std::string ImagePath(const ScanKeyframe& keyframe, uint64_t scene) const;
  ImageSettings Settings() const;
  void Record(const VideoResult<void>& written, const std::string& path, ScanKeyframe* keyframe);

  const ScanOptions& options_;
  int rotation_;
  ScanOutcome* out_;
  ScanObserver* observer_;
  uint64_t tried_ = 0;
};

}  // namespace velmar::video
