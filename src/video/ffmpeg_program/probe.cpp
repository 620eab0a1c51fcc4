// Probing: run `ffmpeg -i <video> -hide_banner` and read the frame size and
// rate from the stream description it prints on stderr.

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <limits>

#include "video/ffmpeg_program/probe.hpp"
#include "video/ffmpeg_program/subprocess.hpp"

namespace velmar::video {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// UTF-8 to code points; each maximal invalid subsequence becomes one U+FFFD,
// so a broken byte never swallows the valid characters after it.
std::u32string DecodeUtf8Lossy(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int len = 0;
    char32_t cp = 0;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    int k = 1;
    for (; k < len && j < n; ++k, ++j) {
      const auto c = static_cast<uint8_t>(s[j]);
      if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) break;
      cp = (cp << 6) | (c & 0x3F);
    }
    out.push_back(k == len ? cp : kReplacement);
    i = j;
  }
  return out;
}

// The Unicode White_Space property.
bool IsUnicodeSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// One or more ASCII digits, optionally after a single "+", within 64 bits.
std::optional<uint64_t> ParseUnsigned(std::u32string_view text) {
  if (!text.empty() && text.front() == U'+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char32_t c : text) {
    if (c < U'0' || c > U'9') return std::nullopt;
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - U'0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

// A zero side would make every empty read a complete frame, and a byte count
// beyond what one buffer can hold cannot be decoded; neither is a frame size.
bool UsableSize(uint64_t width, uint64_t height) {
  uint64_t bytes = 0;
  return width > 0 && height > 0 && !__builtin_mul_overflow(width, height, &bytes) &&
         bytes <= static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
}

std::optional<Dimensions> ParseWord(std::u32string_view word) {
  size_t x = word.find(U'x');
  if (x == std::u32string_view::npos) return std::nullopt;
  std::u32string_view height_text = word.substr(x + 1);
  if (size_t comma = height_text.find(U','); comma != std::u32string_view::npos) {
    height_text = height_text.substr(0, comma);
  }
  auto width = ParseUnsigned(word.substr(0, x));
  auto height = ParseUnsigned(height_text);
  if (!width || !height || !UsableSize(*width, *height)) return std::nullopt;
  return Dimensions{*width, *height};
}

// The stream label of a line: "0:N" from "Stream #0:N[0x100](und): ...",
// the text between "#0:" and the first '[', '(' or ':'. Empty unless that
// text is a plain number, so that nothing odd ever reaches "-map".
std::string StreamMap(std::string_view line) {
  const size_t label = line.find("#0:");
  if (label == std::string_view::npos) return {};
  std::string_view index = line.substr(label + 3);
  index = index.substr(0, index.find_first_of("[(:"));
  if (index.empty() || index.size() > 9 ||
      index.find_first_not_of("0123456789") != std::string_view::npos) {
    return {};
  }
  return "0:" + std::string(index);
}

// The size on one line of the description. "Video:", "x", the line breaks
// and the label are ASCII, and the lossy decoding never merges an ASCII
// byte into a replacement character, so the line is tested on its raw bytes
// and only a candidate is decoded.
std::optional<Dimensions> ParseLine(std::string_view line) {
  if (line.find("Video:") == std::string_view::npos ||
      line.find('x') == std::string_view::npos ||
      line.find("(attached pic)") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::u32string text = DecodeUtf8Lossy(line);
  const std::u32string_view view(text);
  size_t i = 0;
  while (i < view.size()) {
    while (i < view.size() && IsUnicodeSpace(view[i])) ++i;
    size_t start = i;
    while (i < view.size() && !IsUnicodeSpace(view[i])) ++i;
    if (i > start) {
      if (auto dims = ParseWord(view.substr(start, i - start))) return dims;
    }
  }
  return std::nullopt;
}

// Calls `fn` with each line of `text` (split at "\n", a "\r" before it
// dropped, a last line without "\n" included) until it returns a value.
template <class Fn>
auto FirstInLines(std::string_view text, Fn fn) -> decltype(fn(text)) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (auto found = fn(line)) return found;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return std::nullopt;
}

struct StreamLine {
  std::string_view line;
  Dimensions dimensions;
};

std::optional<StreamLine> FindStreamLine(std::string_view probe_output) {
  return FirstInLines(probe_output, [](std::string_view line) -> std::optional<StreamLine> {
    if (auto dims = ParseLine(line)) return StreamLine{line, *dims};
    return std::nullopt;
  });
}

// The number written just before `unit` (" fps", " tbr") in `line`.
std::optional<FrameRate> RateBefore(std::string_view line, std::string_view unit) {
  size_t pos = line.find(unit);
  if (pos == std::string_view::npos) return std::nullopt;
  size_t start = pos;
  while (start > 0 && line[start - 1] != ' ' && line[start - 1] != ',') --start;
  std::string_view token = line.substr(start, pos - start);

  // ffmpeg rounds to two decimals; 29.97 fps is really 30000/1001.
  struct Ntsc {
    std::string_view text;
    double num;
  };
  static constexpr Ntsc kNtsc[] = {
      {"23.98", 24000}, {"29.97", 30000}, {"47.95", 48000}, {"59.94", 60000}, {"119.88", 120000}};
  for (const Ntsc& rate : kNtsc) {
    if (token == rate.text) return FrameRate{rate.num, 1001};
  }

  double scale = 1;
  if (!token.empty() && token.back() == 'k') {  // ffmpeg prints 1000 fps as "1k"
    scale = 1000;
    token.remove_suffix(1);
  }
  double value = 0;
  auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value,
                                   std::chars_format::fixed);
  if (ec != std::errc() || end != token.data() + token.size()) return std::nullopt;
  value *= scale;
  if (!(value > 0) || value > std::numeric_limits<double>::max()) return std::nullopt;
  return FrameRate{value, 1};
}

std::optional<FrameRate> LineRate(std::string_view line) {
  if (auto rate = RateBefore(line, " fps")) return rate;
  return RateBefore(line, " tbr");
}

}  // namespace

std::vector<std::string> ProbeCommand(const std::string& video_path,
                                      const std::string& ffmpeg_path) {
  return {ffmpeg_path, "-i", video_path, "-hide_banner"};
}

VideoResult<std::string> RunProbe(const std::string& video_path, const std::string& ffmpeg_path) {
  constexpr const char* kFailed = "Failed to probe video with FFmpeg";
  auto command = ProbeCommand(video_path, ffmpeg_path);
  auto child = Subprocess::Spawn(command, {Stdio::kNull, Stdio::kPipe, Stdio::kPipe});
  if (!child) return std::unexpected(VideoError{kFailed, child.error().cause});
  std::string description;
  if (auto drained = child->DrainOutput(nullptr, &description, kMaxProbeOutput); !drained) {
    return std::unexpected(VideoError{kFailed, drained.error().cause});
  }
  // The status is never used, so a child already reaped for us (SIGCHLD
  // ignored) is no failure: its output has been read to the end.
  if (auto status = child->Wait(); !status && status.error().cause.value() != ECHILD) {
    return std::unexpected(VideoError{kFailed, status.error().cause});
  }
  return description;
}

std::optional<VideoStream> ParseVideoStream(std::string_view probe_output) {
  auto found = FindStreamLine(probe_output);
  if (!found) return std::nullopt;
  return VideoStream{found->dimensions, StreamMap(found->line), LineRate(found->line)};
}

std::optional<Dimensions> ParseDimensions(std::string_view probe_output) {
  auto stream = ParseVideoStream(probe_output);
  if (!stream) return std::nullopt;
  return stream->dimensions;
}

VideoResult<VideoStream> ProbeVideoStream(const std::string& video_path,
                                          const std::string& ffmpeg_path) {
  auto description = RunProbe(video_path, ffmpeg_path);
  if (!description) return std::unexpected(std::move(description.error()));
  auto stream = ParseVideoStream(*description);
  if (!stream) {
    return std::unexpected(VideoError::Of(ErrorKind::kInvalidData, "Cannot parse video dimensions"));
  }
  return *std::move(stream);
}

VideoResult<Dimensions> probe_video_dimensions(const std::string& video_path,
                                               const std::string& ffmpeg_path) {
  auto stream = ProbeVideoStream(video_path, ffmpeg_path);
  if (!stream) return std::unexpected(std::move(stream.error()));
  return stream->dimensions;
}

std::optional<FrameRate> ParseFrameRate(std::string_view probe_output) {
  // Only the line that qualifies tells the rate: the first "Video:" line of
  // an audio file may be its cover art, whose "90k tbr" is no frame rate.
  if (auto found = FindStreamLine(probe_output)) return LineRate(found->line);
  return std::nullopt;
}

bool HasKeyframeIndex(std::string_view probe_output) {
  auto first_format =
      FirstInLines(probe_output, [](std::string_view line) -> std::optional<std::string_view> {
        constexpr std::string_view kInput = "Input #0, ";
        if (!line.starts_with(kInput)) return std::nullopt;
        line.remove_prefix(kInput.size());
        return line.substr(0, line.find(','));
      });
  return first_format && (*first_format == "mov" || *first_format == "matroska");
}

}  // namespace velmar::video
