#include "video/frame.hpp"

#include "common/output.hpp"
#include "common/panic.hpp"

namespace velmar::video {

VideoFrame VideoFrame::Make(uint64_t frame_number, uint64_t width, uint64_t height,
                            std::vector<uint8_t> data) {
  data.resize(PaddedSize(data.size()), 0);
  return VideoFrame{frame_number, width, height, std::move(data)};
}

std::span<const uint8_t> VideoFrame::Pixels() const {
  uint64_t n = 0;
  if (__builtin_mul_overflow(width, height, &n)) {
    throw Panic(Format("frame size overflows: %llu x %llu",
                       static_cast<unsigned long long>(width),
                       static_cast<unsigned long long>(height)));
  }
  if (n > data.size()) {
    throw Panic(Format("range end index %llu out of range for slice of length %zu",
                       static_cast<unsigned long long>(n), data.size()));
  }
  return {data.data(), static_cast<size_t>(n)};
}

}  // namespace velmar::video
