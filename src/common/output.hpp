#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace velmar {

// Writes `line` to the file descriptor in as few write(2) calls as the kernel
// allows, retrying on EINTR and after partial writes. Progress output goes
// straight to fd 1 or fd 2, never through Python's sys.stdout, so it is
// unbuffered and ordered with what child processes print. Errors are dropped:
// progress output must never fail a computation.
void WriteAll(int fd, std::string_view line);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Formats one line and writes it whole to fd 1 (PrintOut) or fd 2 (PrintErr).
// The format must carry its own trailing newline.
void PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmar
