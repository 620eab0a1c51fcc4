// Covers: src/video/libav/scanner.cpp, decoder.cpp, gray_converter.cpp, luma_sse2.cpp, scan_modes.cpp; src/common/interrupt.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "video/libav/decoder.hpp"
#include "video/libav/gray_converter.hpp"
#include "video/libav/luma.hpp"
#include "video/libav/scan_images.hpp"
#include "video/libav/scanner.hpp"

namespace velmar::video {
namespace {

namespace fs = std::filesystem;

class ScannerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "velmar-scan-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    // Four one-second colour shots at 10 fps: hard cuts at frames 10, 20, 30.
    clip_ = dir_ + "/cuts.mp4";
    const std::string command =
        "ffmpeg -v error -f lavfi -i 'color=c=red:s=64x48:r=10:d=1[a];"
        "color=c=blue:s=64x48:r=10:d=1[b];color=c=white:s=64x48:r=10:d=1[c];"
        "color=c=black:s=64x48:r=10:d=1[d];[a][b][c][d]concat=n=4' -c:v libx264 "
        "-pix_fmt yuv420p -y '" + clip_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static ScanOutcome Scan(const ScanOptions& options, ScanObserver* observer = nullptr) {
    auto result = ScanVideo(clip_, options, observer);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message);
    return result ? *result : ScanOutcome{};
  }

  static std::vector<uint64_t> Frames(const ScanOutcome& outcome) {
    std::vector<uint64_t> frames;
    for (const auto& kf : outcome.keyframes) frames.push_back(kf.frame_number);
    return frames;
  }

  static inline std::string dir_;
  static inline std::string clip_;
};

TEST(LumaTable, ExpandsLimitedRangeToFull) {
  const uint8_t* table = LimitedToFullLuma();
  for (int y = 0; y < 256; ++y) {
    const double exact = std::clamp((y - 16) * 255.0 / 219.0, 0.0, 255.0);
    EXPECT_EQ(table[y], static_cast<uint8_t>(std::lround(exact))) << y;
  }
}

TEST(LumaTable, VectorPathMatchesTheTable) {
  std::vector<uint8_t> src(256 * 3 + 7);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const uint8_t* table = LimitedToFullLuma();
  for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, src.size()}) {
    std::vector<uint8_t> dst(n + 1, 0xAB);
    ExpandLimitedLuma(src.data(), dst.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(dst[i], table[src[i]]) << i << " of " << n;
    EXPECT_EQ(dst[n], 0xAB);  // nothing written past n
  }
}

TEST_F(ScannerTest, ModesFindTheCuts) {
  ScanOptions threshold;
  threshold.threshold = 10.0;
  threshold.min_scene_len = 5;
  const ScanOutcome cuts = Scan(threshold);
  EXPECT_EQ(cuts.frame_count, 40u);
  EXPECT_EQ(cuts.scores.size(), 40u);
  EXPECT_EQ(Frames(cuts), (std::vector<uint64_t>{10, 20, 30}));
  EXPECT_NEAR(cuts.keyframes[1].time, 2.0, 1e-9);

  // A minimum scene length longer than the shots drops the cuts it spans.
  threshold.min_scene_len = 15;
  EXPECT_EQ(Frames(Scan(threshold)), (std::vector<uint64_t>{20}));

  ScanOptions top;
  top.max_keyframes = 3;
  EXPECT_EQ(Frames(Scan(top)), (std::vector<uint64_t>{10, 20, 30}));

  // Both: the highest of the cuts. White to black is the largest change.
  ScanOptions both;
  both.max_keyframes = 1;
  both.threshold = 10.0;
  both.min_scene_len = 1;
  EXPECT_EQ(Frames(Scan(both)), (std::vector<uint64_t>{30}));
}

// The pattern the velmar command clears an output directory by matches
// every name a scan makes there, as the scan makes it.
TEST_F(ScannerTest, FilePatternMatchesTheNamesAScanMakes) {
  const std::regex own(ScanFilePattern());
  for (ImageFormat format : {ImageFormat::kJpeg, ImageFormat::kPng, ImageFormat::kWebp}) {
    const std::string image = ScanImageName(12, format);
    EXPECT_TRUE(std::regex_match(image, own)) << image;
    auto file = AtomicFile::Create(dir_ + "/" + image);
    ASSERT_TRUE(file.has_value());
    const std::string temp = fs::path(file->temp_path()).filename().string();
    EXPECT_TRUE(std::regex_match(temp, own)) << temp;
  }
  EXPECT_TRUE(std::regex_match(std::string(kWriteProbePrefix) + "4242", own));
  for (const char* other : {"notes.txt", "keyframe_final.jpg", "my_keyframe_1.jpg", "keyframe_1.jpg.tmp-1-2"}) {
    EXPECT_FALSE(std::regex_match(other, own)) << other;
  }
}

class StopAtOnce : public ScanObserver {
 public:
  bool Poll(uint64_t, uint64_t) override { return false; }
};

TEST_F(ScannerTest, ObserverStopsTheScan) {
  // A poll interval of 0 would be needed to stop a 40-frame clip, so the
  // observer is reached through the image loop instead.
  StopAtOnce stop;
  ScanOptions options;
  options.max_keyframes = 1;
  options.output_dir = dir_ + "/stopped";
  EXPECT_THROW(ScanVideo(clip_, options, &stop), Interrupted);
}

}  // namespace
}  // namespace velmar::video

namespace velmar::video {
namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The gray bytes must be the ffmpeg program's `-pix_fmt gray` output, byte
// for byte, whichever conversion path a pixel format takes.
class GrayIdentity : public ::testing::TestWithParam<std::string> {};

TEST_P(GrayIdentity, MatchesTheFfmpegProgram) {
  std::string pattern = (fs::temp_directory_path() / "velmar-gray-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const std::string clip = (dir / "clip.mkv").string();
  const std::string raw = (dir / "gray.raw").string();
  const std::string encode = "ffmpeg -v error -f lavfi -i testsrc2=s=94x62:r=25:d=0.4 " +
                             GetParam() + " -y '" + clip + "'";
  ASSERT_EQ(std::system(encode.c_str()), 0);
  const std::string decode = "ffmpeg -v error -i '" + clip +
                             "' -f rawvideo -pix_fmt gray -an -y '" + raw + "'";
  ASSERT_EQ(std::system(decode.c_str()), 0);
  const std::vector<uint8_t> expected = ReadFile(raw);

  auto decoder = AvDecoder::Open(clip);
  ASSERT_TRUE(decoder.has_value()) << decoder.error().message;
  GrayConverter converter(1, kDefaultMaxPixels);
  AvFramePtr frame = NewAvFrame();
  std::vector<uint8_t> gray;
  std::vector<uint8_t> all;
  uint64_t w = 0, h = 0, n = 0;
  for (;; ++n) {
    auto got = (*decoder)->Next(frame.get(), n);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    if (!*got) break;
    ASSERT_TRUE(converter.Convert(frame.get(), &gray, &w, &h).has_value());
    all.insert(all.end(), gray.begin(), gray.begin() + static_cast<ptrdiff_t>(w * h));
  }
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(all.size(), expected.size());
  EXPECT_TRUE(all == expected);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, GrayIdentity,
    ::testing::Values("-c:v libx264 -pix_fmt yuv420p", "-c:v libx264 -pix_fmt yuvj420p",
                      "-c:v libx264 -pix_fmt yuv420p10le", "-c:v libx264 -pix_fmt yuv444p",
                      "-c:v ffv1 -pix_fmt yuv420p -color_range pc", "-c:v ffv1 -pix_fmt bgr0",
                      "-c:v ffv1 -pix_fmt yuv422p10le"));

}  // namespace
}  // namespace velmar::video
