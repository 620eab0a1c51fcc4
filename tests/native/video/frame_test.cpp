#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "video/frame.hpp"

using velmar::video::VideoFrame;

TEST(VideoFrame, PadsToMultipleOf32) {
  for (size_t len : {0u, 1u, 4u, 31u, 32u, 33u, 64u, 7500u, 7680u}) {
    VideoFrame f = VideoFrame::Make(0, len, 1, std::vector<uint8_t>(len, 7));
    EXPECT_EQ(f.data.size() % 32, 0u) << len;
    EXPECT_EQ(f.data.size(), (len + 31) / 32 * 32) << len;
    for (size_t i = len; i < f.data.size(); ++i) EXPECT_EQ(f.data[i], 0);
  }
}

TEST(VideoFrame, PixelsChecksLength) {
  VideoFrame ok = VideoFrame::Make(0, 4, 4, std::vector<uint8_t>(10, 1));
  EXPECT_EQ(ok.Pixels().size(), 16u);
  VideoFrame short_frame = VideoFrame::Make(0, 10, 10, std::vector<uint8_t>(90, 1));
  EXPECT_THROW(short_frame.Pixels(), velmar::Panic);
  VideoFrame huge = VideoFrame::Make(0, uint64_t{1} << 63, 4, {});
  EXPECT_THROW(huge.Pixels(), velmar::Panic);
}
