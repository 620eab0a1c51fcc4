#include "common/output.hpp"

#include <cstdio>
#include <unistd.h>

namespace velmar {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

void PrintOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatV(format, args);
  va_end(args);
  (void)WriteAll(STDOUT_FILENO, line);  // progress never fails the work
}

void PrintErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatV(format, args);
  va_end(args);
  (void)WriteAll(STDERR_FILENO, line);
}

}  // namespace velmar
