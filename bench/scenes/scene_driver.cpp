// Feeds the scene detector from a stream of per-frame inputs and prints its
// boundaries, so its accuracy can be measured on the clip set without the
// scanner. Input (stdin, little-endian): u64 frame count, then per frame an
// f64 score and kThumbSize thumbnail bytes. Output: one line per boundary,
// "first last start kind". Exits 2 if a boundary touches a frame the
// detector had already declared final. Prints to stderr the allocations
// made inside Push after the first second of frames, and Push's mean time.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "video/scene_detection.hpp"

namespace {

uint64_t g_allocations = 0;

}  // namespace

void* operator new(size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

const char* KindName(velmar::video::TransitionKind kind) {
  using velmar::video::TransitionKind;
  switch (kind) {
    case TransitionKind::kStart: return "start";
    case TransitionKind::kCut: return "cut";
    case TransitionKind::kDissolve: return "dissolve";
    case TransitionKind::kFade: return "fade";
    case TransitionKind::kWipe: return "wipe";
  }
  return "?";
}

}  // namespace

int main() {
  using namespace velmar::video;
  uint64_t frames = 0;
  if (std::fread(&frames, sizeof frames, 1, stdin) != 1) return 1;
  SceneDetector detector{SceneDetectorOptions{}};
  std::vector<uint8_t> thumb(kThumbSize);
  uint64_t final_before = 0;
  bool late = false;
  uint64_t push_allocations = 0;
  double push_ns = 0.0;
  auto take = [&] {
    for (const SceneBoundary& b : detector.TakeDecided()) {
      if (b.first_frame < final_before) late = true;
      std::printf("%llu %llu %llu %s\n", static_cast<unsigned long long>(b.first_frame),
                  static_cast<unsigned long long>(b.last_frame),
                  static_cast<unsigned long long>(b.start_frame), KindName(b.kind));
    }
  };
  for (uint64_t n = 0; n < frames; ++n) {
    double score = 0.0;
    if (std::fread(&score, sizeof score, 1, stdin) != 1) return 1;
    if (std::fread(thumb.data(), 1, kThumbSize, stdin) != kThumbSize) return 1;
    const uint64_t before = g_allocations;
    const auto start = std::chrono::steady_clock::now();
    detector.Push(n, score, thumb);
    push_ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (n >= 30) push_allocations += g_allocations - before;
    take();
    const uint64_t now = detector.FinalBefore();
    if (now < final_before) late = true;
    final_before = now;
  }
  detector.Finish();
  take();
  std::fprintf(stderr, "push: %.0f ns a frame, %llu allocations after frame 30\n",
               frames ? push_ns / frames : 0.0, static_cast<unsigned long long>(push_allocations));
  if (late) std::fprintf(stderr, "a boundary touched frames declared final\n");
  return late ? 2 : 0;
}
