#pragma once

// Writing one decoded colour picture as an image file, in process.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "video/video_error.hpp"

struct AVFrame;

namespace velmar::video {

enum class ImageFormat { kJpeg, kPng, kWebp };

// The file name extension of a format, without the dot ("jpg", "png", "webp").
const char* ImageExtension(ImageFormat format);

// Whether this FFmpeg build can write `format` (WebP needs libwebp).
bool CanEncode(ImageFormat format);

// The JPEG and WebP quality a picture gets when none is asked for.
inline constexpr int kDefaultImageQuality = 92;

// How a picture is encoded beyond its format. A zero width or height follows
// the other one, keeping the picture's aspect ratio (both zero: full size);
// the size is that of the upright picture.
struct ImageSettings {
  int quality = kDefaultImageQuality;  // 1..100; JPEG and WebP only
  int width = 0;
  int height = 0;
};

// Encodes `frame` and writes it to `path` atomically and durably
// (AtomicReplace): `path` never holds a partial image, and once this
// returns the image survives a crash. JPEG goes straight from
// the YUV planes through libjpeg-turbo (limited-range samples are expanded
// to the full range JPEG expects); other pixel formats and PNG go through
// swscale first. The error says which file failed and why.
// `rotation` (0, 90, 180 or 270) turns the picture clockwise first.
VideoResult<void> WriteFrameImage(const AVFrame* frame, ImageFormat format, const std::string& path,
                                  int rotation = 0, const ImageSettings& settings = {});

// The encoding step of WriteFrameImage alone: the file's bytes. `path` only
// names the image in an error.
VideoResult<std::vector<uint8_t>> EncodeFrameImage(const AVFrame* frame, ImageFormat format,
                                                   int rotation, const std::string& path,
                                                   const ImageSettings& settings = {});

// The writing step of WriteFrameImage alone (AtomicReplace).
VideoResult<void> WriteImageFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace velmar::video
