#pragma once

// Saving through the ffmpeg program: one run per keyframe, each seeking into
// the video and writing a single JPEG.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "video/ffmpeg_program/probe.hpp"
#include "video/frame.hpp"
#include "video/video_error.hpp"

namespace velmar::video {


struct SaveOptions {
  std::string ffmpeg_path = "ffmpeg";
  uint64_t max_save = DEFAULT_MAX_SAVE;
  bool verbose = false;
};

// "keyframe_001.jpg", ..., "keyframe_999.jpg", "keyframe_1000.jpg".
std::string KeyframeFileName(uint64_t position);

// The seek time of frame `frame_number` in seconds, as the shortest decimal
// text that reads back as the same double, in fixed notation ("0", "1.5",
// "0.03333333333333333").
std::string SeekText(uint64_t frame_number, FrameRate rate);

// How the save command seeks.
enum class SeekOrder {
  // "-ss <t>" before "-i": ffmpeg seeks to the keyframe at or before t and
  // decodes only from there, so the cost does not grow with t.
  kBeforeInput,
  // "-ss <t>" after the input: ffmpeg decodes from the start and drops
  // frames up to t. Exact in every container, but costs the whole prefix.
  kAfterInput,
};

// The command that writes one frame as a JPEG file, of the stream `map`
// ("0:N") when it is not empty. An output path that ffmpeg would read as an
// option (a relative path starting with "-") is passed as "./<path>".
std::vector<std::string> SaveCommand(const std::string& ffmpeg_path,
                                     const std::string& video_path, const std::string& seek,
                                     const std::string& output_path, const std::string& map = {},
                                     SeekOrder order = SeekOrder::kAfterInput);

// Writes the first min(max_save, size) keyframes as keyframe_NNN.jpg into
// `output_dir`, one ffmpeg run each, seeking by the video's own frame rate,
// in the stream that decoding reads, before the input where the container
// allows it (HasKeyframeIndex). A file of the target name is removed before
// its run; a position counts only when ffmpeg exited with status 0 and the
// file then exists and is not empty (ffmpeg exits with 0 having written
// nothing when the seek lands past the end). Returns that count. Errors:
// "Failed to create output directory", "Failed to extract keyframe with
// FFmpeg". Throws velmar::Interrupted on Ctrl-C (the running child is killed and reaped).
VideoResult<uint64_t> save_keyframe_images(const std::string& video_path,
                                           std::span<const uint64_t> keyframes,
                                           const std::string& output_dir,
                                           const SaveOptions& options);

}  // namespace velmar::video
