#pragma once

// Cutting a video into parts at scene boundaries, in process: one file per
// scene, frame-accurate by default, stream copy only on request.
//
// Frame numbers are scan_video's: frame 0 is the first frame the decoder
// gives, and frames count in presentation order. The splitter finds them
// without decoding, from the video packets' timestamps (split_index.hpp).

#include <cstdint>
#include <string>
#include <vector>

#include "video/libav/scanner.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// One scene to write: its first and last frame (inclusive).
struct SplitScene {
  uint64_t start_frame = 0;
  uint64_t end_frame = 0;
};

struct SplitOptions {
  std::string output_dir;  // made when missing
  // Stream copy only: each part starts at the key frame at or before its
  // scene's first frame (SplitPart::actual_start) and ends where the stream
  // can end cleanly at or after its scene's last frame.
  bool copy = false;
  // The parts' names, the extension added: an image name template
  // (ImageNameProblem with one picture a scene finds no fault in it) whose
  // {scene} is the part's number from 1, {frame} and {time} its scene's
  // first frame and time. Empty: "{video}-scene-{scene:03d}".
  std::string name_template;
};

// One part written.
struct SplitPart {
  std::string path;
  uint64_t requested_start = 0;  // the scene's first frame
  uint64_t actual_start = 0;     // the part's first frame (copy mode: a key frame)
  bool reencoded = false;        // any of its video was encoded again
};

struct SplitOutcome {
  std::vector<SplitPart> parts;  // in scene order
  // What the caller should be told once: a codec this build cannot encode
  // (so its parts were encoded in another), a container that could not
  // hold the streams (so the parts are Matroska).
  std::vector<std::string> warnings;
};

// The default part name template.
inline constexpr const char* kDefaultPartName = "{video}-scene-{scene:03d}";

// Why `scenes` does not fit a video of `frame_count` frames, naming the first
// bad scene (its position from 1 and its frames), or "" when it fits: the
// list is not empty, each scene starts at or before its end, within the
// video, and after the scene before it ends. Gaps are allowed.
std::string SceneListProblem(const std::vector<SplitScene>& scenes, uint64_t frame_count);

// Writes one file per scene of `path` into options.output_dir, each through
// a temporary file renamed into place. The scene list is checked before
// anything is written: a list that does not fit fails with cause EINVAL and
// SceneListProblem's text. A part that cannot be written leaves no file;
// the other parts are still written, and then the call fails naming the
// parts that failed, with the first failure's kind. Parts are in the
// input's container where it can hold the streams, else Matroska.
// `observer` (may be null) is polled between packets with the packets read
// and the video packets there are; a false stops the split (Interrupted).
VideoResult<SplitOutcome> SplitVideo(const std::string& path, const std::vector<SplitScene>& scenes,
                                     const SplitOptions& options, ScanObserver* observer);

}  // namespace velmar::video
