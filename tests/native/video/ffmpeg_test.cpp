// Covers: src/video/ffmpeg_program/subprocess.cpp, probe.cpp, decode.cpp, save.cpp.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "common/panic.hpp"
#include "video/ffmpeg_program/decode.hpp"
#include "video/ffmpeg_program/save.hpp"
#include "video/ffmpeg_program/subprocess.hpp"

namespace velmar::video {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velmar-ffmpeg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void WriteFile(const std::string& path, const std::string& data, bool executable = false) {
  std::ofstream(path, std::ios::binary) << data;
  if (executable) ::chmod(path.c_str(), 0755);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// --- Subprocess -------------------------------------------------------------------

TEST(Subprocess, MissingProgramFailsToSpawn) {
  std::vector<std::string> argv = {"velmar-no-such-program"};
  auto child = Subprocess::Spawn(argv, {});
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().cause.value(), ENOENT);

  std::vector<std::string> nul = {"true", std::string("a\0b", 3)};
  auto refused = Subprocess::Spawn(nul, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().cause.value(), EINVAL);
}

TEST(Subprocess, DrainsBothPipesWithoutDeadlock) {
  // Far more than a pipe holds on each stream, stderr written in the middle:
  // reading one pipe to its end before the other would hang.
  std::vector<std::string> argv = {
      "sh", "-c",
      "head -c 3000000 /dev/zero; head -c 2000000 /dev/zero >&2; head -c 1000000 /dev/zero"};
  auto child = Subprocess::Spawn(argv, {Stdio::kNull, Stdio::kPipe, Stdio::kPipe});
  ASSERT_TRUE(child);
  std::string out, err;
  ASSERT_TRUE(child->DrainOutput(&out, &err));
  EXPECT_EQ(out.size(), 4000000u);
  EXPECT_EQ(err.size(), 2000000u);
  auto status = child->Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(ExitedWithSuccess(*status));
}

TEST(Subprocess, StreamsAndExitStatus) {
  std::vector<std::string> cat = {"cat"};
  auto piped = Subprocess::Spawn(cat, {Stdio::kPipe, Stdio::kPipe, Stdio::kInherit});
  ASSERT_TRUE(piped);
  ASSERT_EQ(::write(piped->stdin_fd(), "hello", 5), 5);
  piped->CloseStdin();
  std::string out;
  ASSERT_TRUE(piped->DrainOutput(&out, nullptr));
  EXPECT_EQ(out, "hello");

  // A null stdin reads as empty; the exit status comes back as it is.
  std::vector<std::string> argv = {"sh", "-c", "test -z \"$(cat)\" && exit 3"};
  auto child = Subprocess::Spawn(argv, {Stdio::kNull, Stdio::kNull, Stdio::kNull});
  ASSERT_TRUE(child);
  auto status = child->Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 3);
  EXPECT_FALSE(ExitedWithSuccess(*status));
}

TEST(Subprocess, ChildGetsDefaultSigpipe) {
  // Python ignores SIGPIPE; a decoder must not inherit that.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  // SIGPIPE is signal 13: bit 12 of the SigIgn mask.
  std::vector<std::string> argv = {
      "sh", "-c", "m=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status); "
                  "[ $(( 0x$m & 0x1000 )) -eq 0 ]"};
  auto child = Subprocess::Spawn(argv, {Stdio::kNull, Stdio::kNull, Stdio::kNull});
  ::sigaction(SIGPIPE, &old, nullptr);
  ASSERT_TRUE(child);
  auto status = child->Wait();
  ASSERT_TRUE(status);
  EXPECT_TRUE(ExitedWithSuccess(*status));
}

TEST(Subprocess, DestructorKillsAndReaps) {
  pid_t pid = -1;
  {
    std::vector<std::string> argv = {"sleep", "60"};
    auto child = Subprocess::Spawn(argv, {Stdio::kNull, Stdio::kPipe, Stdio::kNull});
    ASSERT_TRUE(child);
    pid = child->pid();
    ASSERT_FALSE(ProcessGone(pid));
  }
  EXPECT_TRUE(ProcessGone(pid));  // neither running nor a zombie
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

volatile sig_atomic_t g_alarm = 0;
void OnAlarm(int) { g_alarm = 1; }
bool AlarmCheck() { return g_alarm != 0; }

TEST(Subprocess, SignalInterruptsBlockedRead) {
  struct sigaction on_alarm = {}, old = {};
  on_alarm.sa_handler = OnAlarm;  // no SA_RESTART, as Python installs its handlers
  ::sigaction(SIGALRM, &on_alarm, &old);
  g_alarm = 0;
  SetInterruptCheck(&AlarmCheck);
  pid_t pid = -1;
  bool interrupted = false;
  {
    std::vector<std::string> argv = {"sleep", "60"};
    auto child = Subprocess::Spawn(argv, {Stdio::kNull, Stdio::kPipe, Stdio::kNull});
    ASSERT_TRUE(child);
    pid = child->pid();
    // Sent to this thread: a process-wide signal could land on a pool worker.
    pthread_t reader = ::pthread_self();
    std::thread alarm([reader] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ::pthread_kill(reader, SIGALRM);
    });
    uint8_t byte;
    try {
      (void)child->ReadStdout({&byte, 1});
    } catch (const Interrupted&) {
      interrupted = true;
    }
    alarm.join();
  }
  SetInterruptCheck(nullptr);
  ::sigaction(SIGALRM, &old, nullptr);
  EXPECT_TRUE(interrupted);
  EXPECT_TRUE(ProcessGone(pid));
}

// --- probe parsing ----------------------------------------------------------------

TEST(ParseDimensions, UnicodeAndBrokenUtf8) {
  struct Case {
    std::string text;
    uint64_t width, height;  // 0, 0: no dimensions
  };
  const Case cases[] = {
      {"Video:\xC2\x85" "320x240", 320, 240},          // NEL separates words
      {"Video: gray\xE2\x80\xA8" "320x240", 320, 240},  // LINE SEPARATOR too
      {"Video: \xED\xA0\x80 320x240", 320, 240},        // encoded surrogate: replaced
      {"Video: \xF0\x9F\x98 320x240", 320, 240},        // truncated 4-byte sequence
      {"Video: \xE2\x80" "320x240", 0, 0},              // no space: the word starts broken
      {"Video: 320\xC2\xA0x240", 0, 0},                 // split by NBSP: "320", "x240"
      {"Video: 320x240\xC2", 0, 0},
      {"Video: 1x1", 1, 1},
      {"Video: 65536x65536,", 65536, 65536},
  };
  for (const Case& c : cases) {
    auto dims = ParseDimensions(c.text);
    if (c.width == 0) {
      EXPECT_FALSE(dims) << c.text;
    } else {
      ASSERT_TRUE(dims) << c.text;
      EXPECT_EQ(dims->width, c.width) << c.text;
      EXPECT_EQ(dims->height, c.height) << c.text;
    }
  }
}

TEST(ParseFrameRate, StreamLineRates) {
  struct Case {
    std::string text;
    double num, den;  // 0: no rate
  };
  const Case cases[] = {
      {"Stream #0:0: Video: h264, 64x48, 25 fps, 25 tbr, 12800 tbn", 25, 1},
      {"Video: h264, 64x48, 29.97 fps, 29.97 tbr", 30000, 1001},
      {"Video: h264, 64x48, 23.98 tbr, 90k tbn", 24000, 1001},
      {"Video: h264, 64x48, 47.95 fps", 48000, 1001},
      {"Video: h264, 64x48, 119.88 fps", 120000, 1001},
      {"Video: h264, 64x48, 59.94 fps", 60000, 1001},
      {"Video: h264, 64x48, 29.970 fps", 29.97, 1},  // not ffmpeg's rounding
      {"Video: h264, 64x48, 0.0042 fps", 0.0042, 1},
      {"Video: h264, 64x48, 2k fps", 2000, 1},
      {"Video: rawvideo, 64x48", 0, 0},
      {"Video: h264, 64x48, -5 fps, nan tbr", 0, 0},
      {"Audio: aac, 48 fps\nVideo: h264, 32x16, 12 fps", 12, 1},
      {"Video: mjpeg, 8 fps\nVideo: h264, 32x16, 12 fps", 12, 1},  // the line with the size
      {"Video: h264, 64x48\nVideo: h264, 12 fps", 0, 0},
      // No line qualifies: no rate, not the cover art's.
      {"Audio: mp3, 44100 Hz\nVideo: png, 500x500, 90k tbr, 90k tbn (attached pic)", 0, 0},
      {"Video: h264, 12 fps", 0, 0},
  };
  for (const Case& c : cases) {
    auto rate = ParseFrameRate(c.text);
    if (c.num == 0) {
      EXPECT_FALSE(rate) << c.text;
    } else {
      ASSERT_TRUE(rate) << c.text;
      EXPECT_EQ(rate->num, c.num) << c.text;
      EXPECT_EQ(rate->den, c.den) << c.text;
    }
  }
}

// --- saving helpers -----------------------------------------------------------------

TEST(SaveHelpers, SeekTextFileNameAndJoin) {
  EXPECT_EQ(SeekText(0, {}), "0");
  EXPECT_EQ(SeekText(45, {}), "1.5");
  EXPECT_EQ(SeekText(1, {}), "0.03333333333333333");
  EXPECT_EQ(SeekText(30000, {30000, 1001}), "1001");
  std::string huge = SeekText(std::numeric_limits<uint64_t>::max(), {});
  EXPECT_EQ(huge.find_first_not_of("0123456789."), std::string::npos) << huge;

  EXPECT_EQ(KeyframeFileName(1), "keyframe_001.jpg");
  EXPECT_EQ(KeyframeFileName(999), "keyframe_999.jpg");
  EXPECT_EQ(KeyframeFileName(1000), "keyframe_1000.jpg");
  EXPECT_EQ(KeyframeFileName(std::numeric_limits<uint64_t>::max()),
            "keyframe_18446744073709551615.jpg");

  EXPECT_EQ(JoinPath("", "k.jpg"), "k.jpg");
  EXPECT_EQ(JoinPath("out", "k.jpg"), "out/k.jpg");
  EXPECT_EQ(JoinPath("out/", "k.jpg"), "out/k.jpg");
  EXPECT_EQ(JoinPath("/", "k.jpg"), "/k.jpg");
}

TEST(SaveHelpers, CreateDirectories) {
  TempDir tmp;
  mode_t old_mask = ::umask(027);
  EXPECT_FALSE(CreateDirectories(tmp / "a/b/c/"));
  EXPECT_FALSE(CreateDirectories(tmp / "a//b"));  // exists already
  EXPECT_FALSE(CreateDirectories(tmp.path().string()));
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat((tmp / "a/b/c").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);

  WriteFile(tmp / "file", "x");
  EXPECT_TRUE(CreateDirectories(tmp / "file"));
  EXPECT_TRUE(CreateDirectories(tmp / "file/below"));
  EXPECT_TRUE(CreateDirectories(tmp / std::string("x\0y", 3)));
  EXPECT_FALSE(fs::exists(tmp / "x"));
}

// --- decoding through a scripted ffmpeg -------------------------------------------------

// A shell stand-in: the probe prints `probe` on stderr (and runs
// `probe_extra`), the decoder records its pid and writes `raw` to stdout
// (then runs `decode_extra`).
std::string FakeFfmpeg(const TempDir& dir, const std::string& probe, const std::string& raw,
                       const std::string& decode_extra = "", const std::string& probe_extra = "") {
  WriteFile(dir / "raw.bin", raw);
  WriteFile(dir / "probe.txt", probe);
  std::string script = "#!/bin/sh\ncase \"$*\" in\n*rawvideo*)\n  echo $$ > '" + dir / "pid" +
                       "'\n  cat '" + dir / "raw.bin" + "'\n  " + decode_extra +
                       "\n  ;;\n*)\n  cat '" + dir / "probe.txt" + "' >&2\n  " + probe_extra +
                       "\n  ;;\nesac\n";
  WriteFile(dir / "ffmpeg", script, true);
  return dir / "ffmpeg";
}

std::string Pattern(size_t size, uint8_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

TEST(DecodeFrames, PaddedCopies) {
  // The large size is read straight into the records, in several steps, with
  // its last bytes coming through the read buffer.
  for (auto [width, height, stored] : {std::tuple<uint64_t, uint64_t, size_t>{100, 75, 7520},
                                       {96, 80, 7680},
                                       {1001, 700, 700704}}) {
    TempDir tmp;
    const size_t size = width * height;
    std::string raw = Pattern(size * 3 + size / 2, static_cast<uint8_t>(width));
    std::string ffmpeg = FakeFfmpeg(
        tmp, "Video: gray, " + std::to_string(width) + "x" + std::to_string(height) + "\n", raw);
    auto result = extract_all_frames("in.mp4", ffmpeg, false);
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(result->width, width);
    EXPECT_EQ(result->height, height);
    ASSERT_EQ(result->frames.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const VideoFrame& f = result->frames[i];
      EXPECT_EQ(f.frame_number, i);
      ASSERT_EQ(f.data.size(), stored);
      EXPECT_EQ(std::string(f.data.begin(), f.data.begin() + size), raw.substr(i * size, size));
      EXPECT_EQ(std::string(f.data.begin() + size, f.data.end()), std::string(stored - size, '\0'));
    }
  }
}

// Checks that the previous frame's span is intact while the next is handed over.
class KeepPreviousSink : public FrameSink {
 public:
  void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) override {
    if (frame_number > 0) {
      intact = intact && std::equal(previous.begin(), previous.end(), previous_copy.begin());
    }
    previous = pixels;
    previous_copy.assign(pixels.begin(), pixels.end());
    ++frames;
  }
  std::span<const uint8_t> previous;
  std::vector<uint8_t> previous_copy;
  uint64_t frames = 0;
  bool intact = true;
};

TEST(DecodeFrames, PreviousFrameStaysValid) {
  TempDir tmp;
  // Frames larger than the read buffer take the direct-read path.
  const size_t size = 1100 * 1000;
  std::string ffmpeg = FakeFfmpeg(tmp, "Video: gray, 1100x1000\n", Pattern(size * 4, 3));
  KeepPreviousSink sink;
  auto stats = DecodeFrames("in.mp4", ffmpeg, false, sink);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->frame_count, 4u);
  EXPECT_EQ(sink.frames, 4u);
  EXPECT_TRUE(sink.intact);
  EXPECT_GE(stats->sink_time.count(), 0);
}

// Supplies the memory of every frame and records what the decoder asks for.
class SupplyingSink : public FrameSink {
 public:
  std::span<uint8_t> FrameBuffer(uint64_t frame_number, size_t size) override {
    if (frame_number == buffers.size()) {
      buffers.emplace_back(capacity);
      largest_request.push_back(0);
    }
    const size_t before = largest_request.at(frame_number);
    largest_request[frame_number] = std::max(before, size);
    std::span<uint8_t> buffer(buffers.back());
    return short_when_grown && before != 0 && size > before ? buffer.first(size - 1) : buffer;
  }
  void OnFrame(uint64_t frame_number, std::span<const uint8_t> pixels) override {
    in_place = in_place && pixels.data() == buffers.at(frame_number).data();
    frames.emplace_back(pixels.begin(), pixels.end());
  }
  size_t capacity = 0;
  bool short_when_grown = false;  // one byte short once a frame grows
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<size_t> largest_request;
  std::vector<std::string> frames;
  bool in_place = true;
};

TEST(DecodeFrames, SinkSuppliedBuffers) {
  // A frame much smaller than the read buffer, and one taking several steps.
  for (auto [width, height] : {std::pair<size_t, size_t>{100, 75}, {1100, 1000}}) {
    TempDir tmp;
    const size_t size = width * height;
    std::string raw = Pattern(size * 3 + size / 2, 7);
    std::string ffmpeg = FakeFfmpeg(
        tmp, "Video: gray, " + std::to_string(width) + "x" + std::to_string(height) + "\n", raw);
    SupplyingSink sink;
    sink.capacity = size + 5;  // more than asked for is fine
    auto stats = DecodeFrames("in.mp4", ffmpeg, false, sink);
    ASSERT_TRUE(stats) << stats.error().message;
    EXPECT_EQ(stats->frame_count, 3u);
    ASSERT_EQ(sink.frames.size(), 3u);
    EXPECT_TRUE(sink.in_place);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(sink.frames[i], raw.substr(i * size, size));
      EXPECT_EQ(sink.largest_request[i], size);
    }
    // The cut-short frame was asked for, but never handed over.
    EXPECT_EQ(sink.buffers.size(), 4u);
  }

  // A buffer smaller than asked for is a fault of the sink; the decoder is
  // still reaped. (Short only from the second step on: by then the fake
  // decoder has run far enough to leave its pid.)
  TempDir tmp;
  std::string ffmpeg =
      FakeFfmpeg(tmp, "Video: gray, 1100x1000\n", Pattern(1100 * 1000, 1), "exec sleep 60");
  SupplyingSink short_sink;
  short_sink.capacity = 1100 * 1000;
  short_sink.short_when_grown = true;
  EXPECT_THROW((void)DecodeFrames("in.mp4", ffmpeg, false, short_sink), Panic);
  EXPECT_TRUE(ProcessGone(std::stoi(ReadFile(tmp / "pid"))));
}

class ThrowingSink : public FrameSink {
 public:
  void OnFrame(uint64_t, std::span<const uint8_t>) override { throw std::runtime_error("stop"); }
};

TEST(DecodeFrames, SinkExceptionReapsDecoder) {
  TempDir tmp;
  std::string ffmpeg = FakeFfmpeg(tmp, "Video: gray, 4x4\n", std::string(64, 'a'), "exec sleep 60");
  ThrowingSink sink;
  EXPECT_THROW((void)DecodeFrames("in.mp4", ffmpeg, false, sink), std::runtime_error);
  pid_t pid = std::stoi(ReadFile(tmp / "pid"));
  EXPECT_TRUE(ProcessGone(pid));
}

TEST(DecodeFrames, Errors) {
  TempDir tmp;
  // The program removes itself while probing: the decoder cannot start.
  std::string vanishing = FakeFfmpeg(tmp, "Video: gray, 4x4\n", "", "", "rm -f \"$0\"");
  KeepPreviousSink sink;
  auto spawn = DecodeFrames("in.mp4", vanishing, false, sink);
  ASSERT_FALSE(spawn);
  EXPECT_EQ(spawn.error().message, "Failed to spawn FFmpeg process");
  EXPECT_EQ(spawn.error().cause.value(), ENOENT);

  auto probe = DecodeFrames("in.mp4", tmp / "missing", false, sink);
  ASSERT_FALSE(probe);
  EXPECT_EQ(probe.error().message, "Failed to probe video with FFmpeg");

  TempDir other;
  std::string no_video = FakeFfmpeg(other, "in.mp4: No such file or directory\n", "");
  auto parse = DecodeFrames("in.mp4", no_video, false, sink);
  ASSERT_FALSE(parse);
  EXPECT_EQ(parse.error().message, "Cannot parse video dimensions");
  EXPECT_FALSE(fs::exists(other / "pid"));  // no decoder was started
}

}  // namespace
}  // namespace velmar::video
