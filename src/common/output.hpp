#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "common/fs.hpp"

namespace velmar {

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Formats one line and writes it whole to fd 1 (PrintOut) or fd 2 (PrintErr)
// with WriteAll. Progress output goes straight to the descriptor, never
// through Python's sys.stdout, so it is unbuffered and ordered with what
// child processes print. The format must carry its own trailing newline.
// Write errors are dropped: progress output must never fail a computation.
void PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmar
