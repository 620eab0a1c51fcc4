#pragma once

// Writing one decoded colour picture as an image file, in process.

#include <string>

#include "video/video_error.hpp"

struct AVFrame;

namespace velmar::video {

enum class ImageFormat { kJpeg, kPng };

// The file name extension of a format, without the dot ("jpg", "png").
const char* ImageExtension(ImageFormat format);

// Encodes `frame` and writes it to `path` atomically and durably
// (AtomicReplace): `path` never holds a partial image, and once this
// returns the image survives a crash. JPEG goes straight from
// the YUV planes through libjpeg-turbo (limited-range samples are expanded
// to the full range JPEG expects); other pixel formats and PNG go through
// swscale first. The error says which file failed and why.
VideoResult<void> WriteFrameImage(const AVFrame* frame, ImageFormat format, const std::string& path);

}  // namespace velmar::video
