#include "video/libav/scan_images.hpp"

#include <chrono>

#include "common/fs.hpp"
#include "common/interrupt.hpp"
#include "common/output.hpp"
#include "video/libav/image_writer.hpp"

namespace velmar::video {

namespace {

// Adds the time of its own life to a total of milliseconds.
class AddElapsed {
 public:
  explicit AddElapsed(double* total) : total_(total), start_(std::chrono::steady_clock::now()) {}
  ~AddElapsed() {
    *total_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
                   .count();
  }
  AddElapsed(const AddElapsed&) = delete;
  AddElapsed& operator=(const AddElapsed&) = delete;

 private:
  double* total_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

std::string ScanImageName(uint64_t frame_number, ImageFormat format) {
  return std::string(kScanImagePrefix) +
         Format("%06llu.%s", static_cast<unsigned long long>(frame_number), ImageExtension(format));
}

std::string ScanFilePattern() {
  std::string image(kScanImagePrefix);
  image.append("[0-9]+\\.(?:").append(ImageExtension(ImageFormat::kJpeg));
  image.append("|").append(ImageExtension(ImageFormat::kPng)).append(")");
  std::string pattern = image;
  pattern.append("|").append(TempNamePattern(image)).append("|\\");
  pattern.append(kWriteProbePrefix).append("[0-9]+");
  return pattern;
}

ScanImages::ScanImages(const ScanOptions& options, int rotation, ScanOutcome* out,
                       ScanObserver* observer)
    : options_(options), rotation_(rotation), out_(out), observer_(observer) {}

std::string ScanImages::ImageName(uint64_t scanned_frame) const {
  return ScanImageName(out_->first_frame + scanned_frame, options_.image_format);
}

bool ScanImages::HasRoom() const {
  return options_.output_dir.has_value() && tried_ < options_.max_save;
}

void ScanImages::Write(const AVFrame* picture, ScanKeyframe* keyframe) {
  AddElapsed timing(&out_->write_time_ms);
  const std::string path =
      JoinPath(*options_.output_dir, ImageName(keyframe->frame_number));
  Record(WriteFrameImage(picture, options_.image_format, path, rotation_), path, keyframe);
}

VideoResult<std::vector<uint8_t>> ScanImages::Encode(const AVFrame* picture,
                                                     uint64_t frame_number) {
  AddElapsed timing(&out_->write_time_ms);
  const std::string path =
      JoinPath(*options_.output_dir, ImageName(frame_number));
  return EncodeFrameImage(picture, options_.image_format, rotation_, path);
}

void ScanImages::WriteEncoded(const VideoResult<std::vector<uint8_t>>& bytes,
                              ScanKeyframe* keyframe) {
  AddElapsed timing(&out_->write_time_ms);
  const std::string path =
      JoinPath(*options_.output_dir, ImageName(keyframe->frame_number));
  if (!bytes) {
    Record(std::unexpected(bytes.error()), path, keyframe);
  } else {
    Record(WriteImageFile(path, *bytes), path, keyframe);
  }
}

void ScanImages::Record(const VideoResult<void>& written, const std::string& path,
                        ScanKeyframe* keyframe) {
  ++tried_;
  if (written) {
    keyframe->path = path;
    ++out_->images_written;
  } else {
    out_->image_errors.push_back(written.error().message);
  }
  const uint64_t frames = out_->scores.size();
  if (observer_ != nullptr && !observer_->Poll(frames, frames)) throw Interrupted{};
}

}  // namespace velmar::video
