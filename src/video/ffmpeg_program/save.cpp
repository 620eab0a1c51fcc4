#include "video/ffmpeg_program/save.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/ffmpeg_program/subprocess.hpp"

namespace velmar::video {

namespace {

// What saving needs to know of the video, from one probe.
struct SaveTarget {
  FrameRate rate;  // 30 when the probe tells none
  std::string map;
  SeekOrder order = SeekOrder::kAfterInput;
};

// Probes once: the frame rate to seek by (the video's own, else 30), the
// stream that decoding reads, and whether the container allows seeking
// before the input. A probe that cannot run leaves the defaults (the first
// image's own run then reports that failure), and so seeks the slow way,
// which is exact in every container.
SaveTarget ProbeSaveTarget(const std::string& video_path, const std::string& ffmpeg_path) {
  SaveTarget target;
  auto description = RunProbe(video_path, ffmpeg_path);
  if (!description) return target;
  if (auto rate = ParseFrameRate(*description)) target.rate = *rate;
  if (auto stream = ParseVideoStream(*description)) target.map = std::move(stream->map);
  if (HasKeyframeIndex(*description)) target.order = SeekOrder::kBeforeInput;
  return target;
}

bool IsNonEmptyFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Removes a file left at `path` by an earlier run, so that only this run can
// make it exist. False when something is there that cannot be removed.
bool ClearTarget(const std::string& path) {
  // A path holding a NUL would unlink a different file; its run is refused
  // anyway (Subprocess::Spawn).
  if (path.find('\0') != std::string::npos) return true;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

std::string KeyframeFileName(uint64_t position) {
  return Format("keyframe_%03llu.jpg", static_cast<unsigned long long>(position));
}

std::string SeekText(uint64_t frame_number, FrameRate rate) {
  // For the exact NTSC rates n * 1001 is an exact double (below 2**53), so
  // the seek time is rounded once.
  const double seconds = static_cast<double>(frame_number) * rate.den / rate.num;
  char text[400];  // fixed notation of the largest double needs 309 digits
  auto [end, ec] = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed);
  if (ec != std::errc()) return "0";
  return std::string(text, end);
}

std::vector<std::string> SaveCommand(const std::string& ffmpeg_path,
                                     const std::string& video_path, const std::string& seek,
                                     const std::string& output_path, const std::string& map,
                                     SeekOrder order) {
  std::vector<std::string> command{ffmpeg_path};
  if (order == SeekOrder::kBeforeInput) command.insert(command.end(), {"-ss", seek});
  command.insert(command.end(), {"-i", video_path});
  if (!map.empty()) command.insert(command.end(), {"-map", map});
  if (order == SeekOrder::kAfterInput) command.insert(command.end(), {"-ss", seek});
  // ffmpeg reads any argument starting with "-" as an option, even in the
  // output's place; "./-x" names the same file.
  const bool looks_like_option = output_path.starts_with('-');
  command.insert(command.end(), {"-vframes", "1", "-q:v", "2", "-y",
                                 looks_like_option ? "./" + output_path : output_path});
  return command;
}

namespace {

// One ffmpeg run for one image. True when it wrote the file; an error only
// when ffmpeg could not be run or followed at all.
VideoResult<bool> SaveOne(const std::string& video_path, uint64_t frame_number,
                          const std::string& output_path, const SaveTarget& target,
                          const std::string& ffmpeg_path) {
  constexpr const char* kFailed = "Failed to extract keyframe with FFmpeg";
  // Whatever is still there would pass for this run's image.
  if (!ClearTarget(output_path)) return false;
  auto child = Subprocess::Spawn(SaveCommand(ffmpeg_path, video_path,
                                             SeekText(frame_number, target.rate), output_path,
                                             target.map, target.order),
                                 {Stdio::kNull, Stdio::kPipe, Stdio::kPipe});
  if (!child) return std::unexpected(VideoError{kFailed, child.error().cause});
  // ffmpeg's own messages are collected so it never blocks on a full pipe,
  // and then dropped.
  if (auto drained = child->DrainOutput(nullptr, nullptr); !drained) {
    return std::unexpected(VideoError{kFailed, drained.error().cause});
  }
  auto status = child->Wait();
  if (!status) {
    // ECHILD: the caller ignores SIGCHLD and the status is lost (the wait
    // still lasted until ffmpeg ended); the file alone then decides.
    if (status.error().cause.value() != ECHILD) return std::unexpected(VideoError{kFailed, status.error().cause});
    return IsNonEmptyFile(output_path);
  }
  // ffmpeg exits with 0 having written nothing when the seek lands past the
  // last frame.
  return ExitedWithSuccess(*status) && IsNonEmptyFile(output_path);
}

}  // namespace

VideoResult<uint64_t> save_keyframe_images(const std::string& video_path,
                                           std::span<const uint64_t> keyframes,
                                           const std::string& output_dir,
                                           const SaveOptions& options) {
  const bool verbose = options.verbose;
  if (keyframes.empty()) {
    if (verbose) PrintOut("No keyframes to save\n");
    return 0;
  }
  if (verbose) {
    PrintOut("Saving keyframes (max %llu)...\n", static_cast<unsigned long long>(options.max_save));
  }
  // An empty directory name means the working directory, which exists.
  if (!output_dir.empty()) {
    if (std::error_code ec = CreateDirectories(output_dir)) {
      return std::unexpected(VideoError{"Failed to create output directory", ec});
    }
  }

  const uint64_t limit = std::min<uint64_t>(options.max_save, keyframes.size());
  const SaveTarget target = limit > 0 ? ProbeSaveTarget(video_path, options.ffmpeg_path)
                                      : SaveTarget{};
  uint64_t saved = 0;
  for (uint64_t position = 1; position <= limit; ++position) {
    CheckInterrupt();
    const uint64_t frame_number = keyframes[position - 1];
    const std::string output_path = JoinPath(output_dir, KeyframeFileName(position));
    auto written = SaveOne(video_path, frame_number, output_path, target, options.ffmpeg_path);
    if (!written) return std::unexpected(std::move(written.error()));
    if (*written) {
      ++saved;
    } else if (verbose) {
      PrintErr("Save keyframe failed at frame %llu\n", static_cast<unsigned long long>(frame_number));
    }
  }
  if (verbose) {
    PrintOut("Saved %llu/%llu keyframes\n", static_cast<unsigned long long>(saved),
             static_cast<unsigned long long>(limit));
  }
  return saved;
}

}  // namespace velmar::video
