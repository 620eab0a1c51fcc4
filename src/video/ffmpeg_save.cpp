// Saving: one ffmpeg run per keyframe, each seeking into the video and
// writing a single JPEG.

#include <sys/stat.h>

#include <cerrno>
#include <charconv>

#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/ffmpeg.hpp"
#include "video/subprocess.hpp"

namespace velmar::video {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `path` without its last component ("a/b/" -> "a", "/a" -> "/", "a" -> "").
std::string Parent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return std::string(parent.empty() ? "/" : parent);
}

// The frame rate to seek by: the video's own, else 30 (also when the probe
// cannot run; the first image's own run then reports that failure).
FrameRate SeekRate(const std::string& video_path, const std::string& ffmpeg_path) {
  auto description = RunProbe(video_path, ffmpeg_path);
  if (description) {
    if (auto rate = ParseFrameRate(*description)) return *rate;
  }
  return FrameRate{};
}

}  // namespace

std::string KeyframeFileName(uint64_t position) {
  return Format("keyframe_%03llu.jpg", static_cast<unsigned long long>(position));
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
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
                                     const std::string& output_path) {
  return {ffmpeg_path, "-i", video_path, "-ss", seek, "-vframes", "1",
          "-q:v",      "2",  "-y",       output_path};
}

std::error_code CreateDirectories(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    std::string parent = Parent(path);
    if (!parent.empty() && parent != path) {
      if (std::error_code ec = CreateDirectories(parent)) return ec;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  // Also covers a directory made by someone else in the meantime.
  if (err == EEXIST && IsDirectory(path)) return {};
  return std::error_code(err, std::generic_category());
}

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
  const FrameRate rate = limit > 0 ? SeekRate(video_path, options.ffmpeg_path) : FrameRate{};
  uint64_t saved = 0;
  for (uint64_t position = 1; position <= limit; ++position) {
    CheckInterrupt();
    const uint64_t frame_number = keyframes[position - 1];
    const std::string output_path = JoinPath(output_dir, KeyframeFileName(position));
    auto child = Subprocess::Spawn(
        SaveCommand(options.ffmpeg_path, video_path, SeekText(frame_number, rate), output_path),
        {Stdio::kNull, Stdio::kPipe, Stdio::kPipe});
    if (!child) {
      return std::unexpected(VideoError{"Failed to extract keyframe with FFmpeg", child.error()});
    }
    // ffmpeg's own messages are collected so it never blocks on a full
    // pipe, and then dropped.
    auto drained = child->DrainOutput(nullptr, nullptr);
    if (!drained) {
      return std::unexpected(VideoError{"Failed to extract keyframe with FFmpeg", drained.error()});
    }
    auto status = child->Wait();
    if (!status) {
      return std::unexpected(VideoError{"Failed to extract keyframe with FFmpeg", status.error()});
    }
    if (ExitedWithSuccess(*status)) {
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
