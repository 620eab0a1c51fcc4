#include "video/libav/scan_images.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

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

// One field of a template: its name and format spec, at [open, close].
struct Field {
  std::string_view name;
  std::string_view spec;
};

// Walks `name_template`, calling text(piece) for literal text and
// field(Field) for each field; returns why it cannot be parsed, or "".
template <typename Text, typename OnField>
std::string Walk(std::string_view t, Text text, OnField field) {
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if ((c == '{' || c == '}') && i + 1 < t.size() && t[i + 1] == c) {
      text(t.substr(i, 1));
      ++i;
    } else if (c == '}') {
      return "a single '}' (write '}}' for a brace)";
    } else if (c == '{') {
      const size_t close = t.find('}', i);
      if (close == std::string_view::npos) return "a '{' that is never closed";
      const std::string_view inside = t.substr(i + 1, close - i - 1);
      const size_t colon = inside.find(':');
      field(Field{inside.substr(0, colon),
                  colon == std::string_view::npos ? "" : inside.substr(colon + 1)});
      i = close;
    } else {
      text(t.substr(i, 1));
    }
  }
  return "";
}

// The format's width and zero padding, if it is one FormatImageName takes:
// digits (a leading 0 pads with zeros), optionally followed by 'd'.
bool ParseSpec(std::string_view spec, bool* zero, int* width) {
  if (!spec.empty() && spec.back() == 'd') spec.remove_suffix(1);
  *zero = !spec.empty() && spec.front() == '0';
  *width = 0;
  if (spec.size() > 3) return false;
  for (char c : spec) {
    if (c < '0' || c > '9') return false;
    *width = *width * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string ImageNameProblem(std::string_view name_template, uint64_t per_scene) {
  if (name_template.empty()) return "must not be empty";
  std::string problem;
  bool frame = false, time = false, scene = false;
  std::string parsed = Walk(
      name_template,
      [&](std::string_view piece) {
        if ((piece == "/" || piece == std::string_view("\0", 1)) && problem.empty()) {
          problem = "must not hold a path separator or a NUL character: it names a file in "
                    "output_dir";
        }
      },
      [&](const Field& f) {
        if (!problem.empty()) return;
        frame |= f.name == "frame";
        time |= f.name == "time";
        scene |= f.name == "scene";
        bool zero = false;
        int width = 0;
        if (f.name != "frame" && f.name != "time" && f.name != "scene" && f.name != "video") {
          problem = Format("unknown field {%.*s}; the fields are {video}, {scene}, {frame} and "
                           "{time}", static_cast<int>(f.name.size()), f.name.data());
        } else if (!f.spec.empty() && (f.name == "video" || f.name == "time")) {
          problem = Format("{%.*s} takes no format spec", static_cast<int>(f.name.size()),
                           f.name.data());
        } else if (!ParseSpec(f.spec, &zero, &width)) {
          problem = Format("format spec '%.*s' of {%.*s}: give a width, zero-padded or not, "
                           "such as 06d", static_cast<int>(f.spec.size()), f.spec.data(),
                           static_cast<int>(f.name.size()), f.name.data());
        }
      });
  if (!parsed.empty()) return "has " + parsed;
  if (!problem.empty()) return problem;
  if (!frame && !time && !(scene && per_scene <= 1)) {
    return per_scene > 1 ? "must hold {frame} or {time}, so that a scene's pictures have names "
                           "of their own"
                         : "must hold {frame}, {time} or {scene}, so that pictures have names "
                           "of their own";
  }
  return "";
}

std::string FormatImageName(std::string_view name_template, const ImageNameFields& fields) {
  std::string name;
  Walk(
      name_template, [&](std::string_view piece) { name.append(piece); },
      [&](const Field& f) {
        if (f.name == "video") {
          name.append(fields.video);
        } else if (f.name == "time") {
          const long long ms = std::llround(std::max(0.0, fields.time) * 1000.0);
          name.append(Format("%02lld-%02lld-%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                             ms / 1000 % 60, ms % 1000));
        } else {
          bool zero = false;
          int width = 0;
          ParseSpec(f.spec, &zero, &width);
          name.append(Format(zero ? "%0*llu" : "%*llu", width,
                             static_cast<unsigned long long>(f.name == "frame" ? fields.frame
                                                                               : fields.scene)));
        }
      });
  return name;
}

std::string ScanImageName(uint64_t frame_number, ImageFormat format) {
  return std::string(kScanImagePrefix) +
         Format("%06llu.%s", static_cast<unsigned long long>(frame_number), ImageExtension(format));
}

std::string ScanFilePattern() {
  std::string image(kScanImagePrefix);
  image.append("[0-9]+\\.(?:").append(ImageExtension(ImageFormat::kJpeg));
  image.append("|").append(ImageExtension(ImageFormat::kPng));
  image.append("|").append(ImageExtension(ImageFormat::kWebp)).append(")");
  std::string pattern = image;
  pattern.append("|").append(TempNamePattern(image)).append("|\\");
  pattern.append(kWriteProbePrefix).append("[0-9]+");
  return pattern;
}

ScanImages::ScanImages(const ScanOptions& options, int rotation, ScanOutcome* out,
                       ScanObserver* observer)
    : options_(options), rotation_(rotation), out_(out), observer_(observer) {}

std::string ScanImages::ImagePath(const ScanKeyframe& keyframe, uint64_t scene) const {
  const uint64_t frame = out_->first_frame + keyframe.frame_number;
  std::string name =
      options_.image_name.empty()
          ? ScanImageName(frame, options_.image_format)
          : FormatImageName(options_.image_name,
                            ImageNameFields{options_.video_name, scene, frame, keyframe.time}) +
                "." + ImageExtension(options_.image_format);
  return JoinPath(*options_.output_dir, name);
}

ImageSettings ScanImages::Settings() const {
  return ImageSettings{options_.image_quality, options_.image_width, options_.image_height};
}

bool ScanImages::HasRoom() const {
  return options_.output_dir.has_value() && tried_ < options_.max_save;
}

void ScanImages::Write(const AVFrame* picture, ScanKeyframe* keyframe, uint64_t scene) {
  AddElapsed timing(&out_->write_time_ms);
  const std::string path = ImagePath(*keyframe, scene);
  Record(WriteFrameImage(picture, options_.image_format, path, rotation_, Settings()), path,
         keyframe);
}

VideoResult<std::vector<uint8_t>> ScanImages::Encode(const AVFrame* picture,
                                                     uint64_t frame_number) {
  AddElapsed timing(&out_->write_time_ms);
  ScanKeyframe named;
  named.frame_number = frame_number;
  named.time = frame_number < out_->times.size() ? out_->times[frame_number] : 0.0;
  return EncodeFrameImage(picture, options_.image_format, rotation_, ImagePath(named, 0),
                          Settings());
}

void ScanImages::WriteEncoded(const VideoResult<std::vector<uint8_t>>& bytes,
                              ScanKeyframe* keyframe, uint64_t scene) {
  AddElapsed timing(&out_->write_time_ms);
  const std::string path = ImagePath(*keyframe, scene);
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
