#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmar::video {

inline constexpr uint64_t DEFAULT_BLOCK_SIZE = 8192;
inline constexpr uint64_t DEFAULT_MAX_SAVE = 50;

// One decoded picture: 8-bit luminance, row-major from the top-left corner.
// Only the first width*height bytes are the picture; the buffer is padded with
// zeros to a multiple of 32 bytes. Immutable once made, so any number of
// threads may read it at once.
struct VideoFrame {
  uint64_t frame_number = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  std::vector<uint8_t> data;

  // The only way to make a record: takes the buffer over and pads it with
  // zeros to the next multiple of 32 bytes (a multiple of 32 stays as it is).
  static VideoFrame Make(uint64_t frame_number, uint64_t width, uint64_t height,
                         std::vector<uint8_t> data);

  // The buffer size of a record holding `size` picture bytes: the next
  // multiple of 32 (a multiple of 32 stays as it is).
  static constexpr size_t PaddedSize(size_t size) { return (size + 31) / 32 * 32; }

  // The picture bytes, [0, width*height). Throws velmar::Panic when the buffer
  // is shorter than width*height (or the product overflows).
  std::span<const uint8_t> Pixels() const;
};

}  // namespace velmar::video
