#pragma once

// Probing through the ffmpeg program: run `ffmpeg -i <video> -hide_banner`
// and read the frame size, stream and rate from the stream description it
// prints on stderr.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "video/video_error.hpp"

namespace velmar::video {

struct Dimensions {
  uint64_t width = 0;
  uint64_t height = 0;
};


// The probe command line: ffmpeg -i <video> -hide_banner.
std::vector<std::string> ProbeCommand(const std::string& video_path,
                                      const std::string& ffmpeg_path);

// The most of the probe's stderr that is kept; the rest is read and dropped,
// so a runaway ffmpeg cannot fill memory. A stream description is a few KiB.
inline constexpr size_t kMaxProbeOutput = 16 << 20;

// Runs the probe and returns the first kMaxProbeOutput bytes it printed on
// stderr (stdout is drained and dropped; the exit status is not looked at:
// with no output file named, ffmpeg always ends with a failure status).
// Error: "Failed to probe video with FFmpeg" when it cannot be started or
// read, or waiting for it fails for any reason but ECHILD (a process that
// ignores SIGCHLD has its children reaped for it; the output is complete).
VideoResult<std::string> RunProbe(const std::string& video_path, const std::string& ffmpeg_path);

// A frame rate as num/den, exact for the NTSC rates (30000/1001 etc.).
struct FrameRate {
  double num = 30.0;
  double den = 1.0;
};

// The video stream that gives the frame size, as read from its line.
struct VideoStream {
  Dimensions dimensions;
  // "0:N" from the line's "Stream #0:N" label, for "-map"; empty when the
  // line has no such label (then ffmpeg picks the stream itself).
  std::string map;
  // The number before " fps", else before " tbr", on the same line.
  std::optional<FrameRate> rate;
};

// Finds the frame size in ffmpeg's stream description: the first word
// "<width>x<height>[,...]" of a line holding "Video:" whose numbers are
// plain unsigned decimals. Sizes with a zero side, or whose byte count does
// not fit a buffer, do not count (the search goes on), and neither does a
// line marked "(attached pic)": cover art is a still image, not the video.
// Works line by line on the raw bytes; only a candidate line is decoded.
std::optional<VideoStream> ParseVideoStream(std::string_view probe_output);

// The size alone (ParseVideoStream).
std::optional<Dimensions> ParseDimensions(std::string_view probe_output);

// Probe plus parse. Errors: "Failed to probe video with FFmpeg",
// "Cannot parse video dimensions".
VideoResult<VideoStream> ProbeVideoStream(const std::string& video_path,
                                          const std::string& ffmpeg_path);
VideoResult<Dimensions> probe_video_dimensions(const std::string& video_path,
                                               const std::string& ffmpeg_path);

// The frame rate of the stream line that gives the frame size: the number
// before " fps", else before " tbr". ffmpeg prints NTSC rates rounded to two
// decimals (29.97); those map back to their exact fractions. nullopt when no
// line gives a frame size (ParseVideoStream), when neither number is there,
// or when it is not a positive finite value.
std::optional<FrameRate> ParseFrameRate(std::string_view probe_output);

// True when the probe names a container whose seek goes through an index of
// keyframes (MP4/QuickTime, Matroska/WebM), so that a seek before the input
// decodes from the keyframe at or before the target and lands on exactly
// the frame that decoding from the start would. MPEG-TS has no such index:
// ffmpeg seeks it by timestamps read from arbitrary packets, lands after the
// last keyframe, and the decoder then skips ahead to the next one (or, near
// the end, to none at all).
bool HasKeyframeIndex(std::string_view probe_output);

}  // namespace velmar::video
