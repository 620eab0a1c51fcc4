// Covers: src/video/libav/scene_mode.cpp (the choice of each scene's picture).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "video/libav/scene_mode.hpp"

namespace velmar::video {
namespace {

std::vector<PictureCandidate> Candidates(std::vector<std::pair<uint64_t, double>> frames,
                                         const std::vector<uint64_t>& approximate) {
  std::vector<PictureCandidate> out;
  for (auto [frame, stillness] : frames) {
    const bool exact = std::find(approximate.begin(), approximate.end(), frame) == approximate.end();
    out.push_back({frame, stillness, nullptr, exact});
  }
  return out;
}

struct Case {
  const char* name;
  std::vector<std::pair<uint64_t, double>> candidates;
  uint64_t start, end;
  SceneBoundary opened;
  std::optional<SceneBoundary> closing;
  int expected;  // index, -1: none
  std::vector<uint64_t> approximate = {};  // frames of B pictures decoded without deblocking
};

const SceneBoundary kCutAt100{100, 100, 100, TransitionKind::kCut};
const SceneBoundary kDissolve90To110{90, 110, 100, TransitionKind::kDissolve};
const SceneBoundary kCutAt200{200, 200, 200, TransitionKind::kCut};
const SceneBoundary kFade190To215{190, 215, 203, TransitionKind::kFade};

class ChoosePictureTest : public ::testing::TestWithParam<Case> {};

TEST_P(ChoosePictureTest, PicksACleanStillFrame) {
  const Case& c = GetParam();
  const auto candidates = Candidates(c.candidates, c.approximate);
  EXPECT_EQ(ChoosePicture(candidates, c.start, c.end, c.opened,
                          c.closing ? &*c.closing : nullptr),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, ChoosePictureTest,
    ::testing::Values(
        // the stillest of the middle half wins over a stiller frame at an edge
        Case{"middle", {{104, 0.1}, {140, 2.0}, {150, 1.0}, {195, 0.0}}, 100, 199, kCutAt100,
             kCutAt200, 2},
        // never the first frames after the cut, even when nothing else is kept
        Case{"settling", {{100, 0.0}, {101, 0.0}, {103, 5.0}}, 100, 199, kCutAt100, kCutAt200, 2},
        // never inside the dissolve that opened the scene, nor in the fade closing it
        Case{"transitions", {{105, 0.0}, {150, 3.0}, {192, 0.0}}, 100, 202, kDissolve90To110,
             kFade190To215, 1},
        // nothing clean kept: the kept frame nearest the middle outside transitions
        Case{"fallback", {{101, 0.0}, {112, 9.0}}, 100, 115, kCutAt100, std::nullopt, 1},
        // an exact picture is preferred to a stiller approximate one
        Case{"exact", {{140, 2.0}, {150, 1.0}, {160, 1.5}}, 100, 199, kCutAt100, kCutAt200, 2,
             {150}},
        Case{"only transitions", {{105, 0.0}, {108, 0.0}}, 100, 202, kDissolve90To110,
             kFade190To215, -1},
        Case{"no candidates", {}, 0, 10, SceneBoundary{0, 0, 0, TransitionKind::kStart},
             std::nullopt, -1}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (ch == ' ') ch = '_';
      }
      return name;
    });

TEST(StillestFrame, FromTheScoresOfTheMiddleHalf) {
  std::vector<double> scores(300, 5.0);
  scores[100] = 80.0;  // the cut
  scores[131] = 0.5;   // too early: in the first quarter
  scores[160] = 0.2;
  scores[161] = 0.2;
  scores[162] = 0.2;  // frame 161's window: 159..162
  scores[159] = 0.2;
  EXPECT_EQ(StillestFrame(scores, 100, 199, kCutAt100, &kCutAt200), 161u);
  // a scene too short for a clean frame: its middle
  EXPECT_EQ(StillestFrame(scores, 100, 102, kCutAt100, nullptr), 101u);
}

}  // namespace
}  // namespace velmar::video
