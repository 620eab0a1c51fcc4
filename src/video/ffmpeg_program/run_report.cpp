#include "video/ffmpeg_program/run_report.hpp"

#include <ctime>

#include "common/output.hpp"

namespace velmar::video {

std::string VideoFileName(std::string_view path) {
  std::string_view last;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(pos, end - pos);
    if (!part.empty() && part != ".") last = part;
    pos = end + 1;
  }
  if (last == "..") return {};
  return std::string(last);
}

std::string LocalTimestamp() {
  // tzset makes a TZ set after start-up take effect for localtime_r.
  tzset();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, n);
}

std::string OptimizationLabel(bool use_simd, uint64_t block_size) {
  if (!use_simd) return "Standard Parallel";
  return Format("SIMD+Parallel(block:%llu)", static_cast<unsigned long long>(block_size));
}

double DurationMs(std::chrono::nanoseconds duration) {
  const auto ns = duration.count();
  if (ns <= 0) return 0.0;
  const double seconds =
      static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  return seconds * 1000.0;
}

double ElapsedMs(std::chrono::steady_clock::time_point since) {
  return DurationMs(std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - since));
}

}  // namespace velmar::video
