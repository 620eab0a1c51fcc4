#pragma once

// Video input and output through the external ffmpeg program: probing the
// frame size and rate, decoding to raw 8-bit gray frames, and writing chosen
// frames as JPEG files. Every child is started from an explicit argument
// vector and reaped before the call returns, on every path.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "video/frame.hpp"
#include "video/video_error.hpp"

namespace velmar::video {

// Bytes taken from the decoder pipe per read while a frame is assembled.
inline constexpr size_t PIPE_READ_BUFFER_SIZE = 1 << 20;

struct Dimensions {
  uint64_t width = 0;
  uint64_t height = 0;
};

// --- Probing -------------------------------------------------------------

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
// decimals (29.97); those map back to their exact fractions. nullopt when
// neither is there or the number is not a positive finite value.
std::optional<FrameRate> ParseFrameRate(std::string_view probe_output);

// True when the probe names a container whose seek goes through an index of
// keyframes (MP4/QuickTime, Matroska/WebM), so that a seek before the input
// decodes from the keyframe at or before the target and lands on exactly
// the frame that decoding from the start would. MPEG-TS has no such index:
// ffmpeg seeks it by timestamps read from arbitrary packets, lands after the
// last keyframe, and the decoder then skips ahead to the next one (or, near
// the end, to none at all).
bool HasKeyframeIndex(std::string_view probe_output);

// --- Decoding ------------------------------------------------------------

// The decode command line: raw 8-bit gray frames on stdout, of the stream
// `map` ("0:N") when it is not empty.
std::vector<std::string> DecodeCommand(const std::string& video_path,
                                       const std::string& ffmpeg_path,
                                       const std::string& map = {});

// Receives decoded frames one by one, in decoding order.
class FrameSink {
 public:
  virtual ~FrameSink() = default;

  // Called once after probing, before the decoder starts.
  virtual void OnDimensions(Dimensions /*dimensions*/) {}

  // `pixels` holds exactly width*height bytes of frame `frame_number`
  // (0, 1, 2, ...). The decoder alternates between two frame buffers, so the
  // span of frame n stays valid until the OnFrame call of frame n + 1 has
  // returned: a sink that compares each frame with the one before it needs
  // no copy. An exception thrown here ends decoding; the decoder child is
  // killed and reaped before it propagates.
  virtual void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) = 0;

  // Optional, for a sink that keeps frames: the memory frame `frame_number`
  // is read into, so that it lands in its final place instead of being
  // copied there out of a decoder buffer. The decoder fills a frame front to
  // back in steps. Before each step it asks for a buffer whose first `size`
  // bytes are writable and whose earlier bytes hold what was filled so far;
  // the sink returns at least that many bytes (it may move the buffer to
  // grow it). The first request comes before anything of the frame is read
  // and asks for at most one step; later ones grow up to width*height (one
  // may repeat or ask for less than an earlier one, which changes nothing).
  // OnFrame then gets the first width*height bytes of the buffer. Growing
  // step by step keeps memory in line with the bytes that really arrived
  // (the probe's size is only a claim), and lets the sink map in fresh
  // memory just before the pipe's bytes are copied to it, while it is still
  // in the cache. A frame cut short by the end of the stream gets no
  // OnFrame call. An empty span at the first request (the default) makes
  // the decoder read that frame into its own two alternating buffers, as
  // described at OnFrame. A step's request returning fewer bytes is a Panic.
  virtual std::span<uint8_t> FrameBuffer(uint64_t /*frame_number*/, size_t /*size*/) {
    return {};
  }
};

struct DecodeStats {
  Dimensions dimensions;
  uint64_t frame_count = 0;  // complete frames handed to the sink
  // Time spent inside FrameSink::OnFrame. The decoder's own time (probing,
  // reading, waiting) is the caller's wall time around DecodeFrames minus this
  // (FrameSink::FrameBuffer calls count as reading).
  std::chrono::nanoseconds sink_time{0};
};

// Probes `video_path`, runs the decoder and hands every complete frame to
// `sink`. Prints "Extracting frames", "Dimensions", "Frame size",
// "Processed N frames" (every 1000) and "Done" lines when `verbose`; the
// "Done" line is the last thing it prints. A short last frame, a read error
// or a failing decoder status end the frames without an error. The decoder
// is reaped before this returns. Errors: the two probe errors and "Failed
// to spawn FFmpeg process". Throws velmar::Interrupted on Ctrl-C.
VideoResult<DecodeStats> DecodeFrames(const std::string& video_path,
                                      const std::string& ffmpeg_path, bool verbose,
                                      FrameSink& sink);

struct ExtractedFrames {
  std::vector<VideoFrame> frames;
  uint64_t width = 0;
  uint64_t height = 0;
};

// Every frame of the video, each a padded copy (VideoFrame::Make).
VideoResult<ExtractedFrames> extract_all_frames(const std::string& video_path,
                                                const std::string& ffmpeg_path, bool verbose);

// --- Saving --------------------------------------------------------------

struct SaveOptions {
  std::string ffmpeg_path = "ffmpeg";
  uint64_t max_save = DEFAULT_MAX_SAVE;
  bool verbose = false;
};

// "keyframe_001.jpg", ..., "keyframe_999.jpg", "keyframe_1000.jpg".
std::string KeyframeFileName(uint64_t position);

// `dir` joined with `name`: just `name` for an empty dir, no doubled "/".
std::string JoinPath(std::string_view dir, std::string_view name);

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

// mkdir -p with mode 0777 (less the umask); an existing directory is fine,
// anything else at the path is an error, and so is a path holding a NUL.
std::error_code CreateDirectories(const std::string& path);

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
