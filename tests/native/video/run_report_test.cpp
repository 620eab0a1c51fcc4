#include <gtest/gtest.h>

#include <cstdlib>

#include "video/ffmpeg_program/run_report.hpp"

using namespace velmar::video;

TEST(RunReport, VideoFileName) {
  EXPECT_EQ(VideoFileName("clips/a.mp4"), "a.mp4");
  EXPECT_EQ(VideoFileName("/data/videos/b.mkv"), "b.mkv");
  EXPECT_EQ(VideoFileName("c.avi"), "c.avi");
  EXPECT_EQ(VideoFileName("clips/d.mp4/"), "d.mp4");
  EXPECT_EQ(VideoFileName("clips/./d.mp4/."), "d.mp4");
  EXPECT_EQ(VideoFileName("//x//y.mp4//"), "y.mp4");
  EXPECT_EQ(VideoFileName(""), "");
  EXPECT_EQ(VideoFileName("/"), "");
  EXPECT_EQ(VideoFileName("a/.."), "");
}

TEST(RunReport, Labels) {
  EXPECT_EQ(OptimizationLabel(false, 8192), "Standard Parallel");
  EXPECT_EQ(OptimizationLabel(true, 8192), "SIMD+Parallel(block:8192)");
  EXPECT_EQ(OptimizationLabel(true, 0), "SIMD+Parallel(block:0)");
  EXPECT_EQ(OptimizationLabel(true, UINT64_MAX), "SIMD+Parallel(block:18446744073709551615)");
}

TEST(RunReport, TimestampHonoursTz) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC", 1);
  std::string utc = LocalTimestamp();
  setenv("TZ", "UTC-14", 1);  // fourteen hours ahead of UTC
  std::string ahead = LocalTimestamp();
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  for (const std::string& stamp : {utc, ahead}) {
    ASSERT_EQ(stamp.size(), 19u) << stamp;
    for (size_t i = 0; i < stamp.size(); ++i) {
      char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
      if (want == '0') EXPECT_TRUE(stamp[i] >= '0' && stamp[i] <= '9') << stamp;
      else EXPECT_EQ(stamp[i], want) << stamp;
    }
  }
  EXPECT_NE(utc.substr(11, 2), ahead.substr(11, 2));
}
