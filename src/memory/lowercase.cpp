#include "memory/lowercase.hpp"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cstdint>
#include <vector>

namespace velmar::memory {

namespace {

bool IsAscii(std::string_view text) {
  // Eight bytes at a time: most keys, identifiers and subjects are ASCII.
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    __builtin_memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) & 0x80) return false;
  }
  return true;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Runs an ICU conversion that reports the needed size on overflow: first into
// `buffer` as it is, then once more at the reported size.
template <class Char, class Convert>
bool ConvertInto(std::vector<Char>& buffer, int32_t* length, Convert&& convert) {
  UErrorCode status = U_ZERO_ERROR;
  *length = convert(buffer.data(), static_cast<int32_t>(buffer.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    buffer.resize(static_cast<size_t>(*length) + 1);
    status = U_ZERO_ERROR;
    *length = convert(buffer.data(), static_cast<int32_t>(buffer.size()), &status);
  }
  return U_SUCCESS(status);
}

}  // namespace

std::string ToLower(std::string_view text) {
  if (IsAscii(text)) return AsciiLower(text);
  // ICU's string functions take int32_t lengths.
  if (text.size() > static_cast<size_t>(INT32_MAX / 2)) return std::string(text);

  const auto src_length = static_cast<int32_t>(text.size());
  std::vector<UChar> utf16(text.size() + 1);
  int32_t utf16_length = 0;
  // Text reaching here is valid UTF-8 (Python strings and parsed JSON both
  // are); should that ever not hold, the text is compared as it is.
  if (!ConvertInto(utf16, &utf16_length, [&](UChar* dest, int32_t cap, UErrorCode* status) {
        int32_t length = 0;
        u_strFromUTF8(dest, cap, &length, text.data(), src_length, status);
        return length;
      })) {
    return std::string(text);
  }

  // The root locale ("") gives the language-neutral full mapping: İ becomes
  // i + combining dot, and a capital sigma at the end of a word becomes ς.
  std::vector<UChar> lowered(static_cast<size_t>(utf16_length) + 8);
  int32_t lowered_length = 0;
  if (!ConvertInto(lowered, &lowered_length, [&](UChar* dest, int32_t cap, UErrorCode* status) {
        return u_strToLower(dest, cap, utf16.data(), utf16_length, "", status);
      })) {
    return std::string(text);
  }

  std::vector<char> utf8(static_cast<size_t>(lowered_length) * 3 + 1);
  int32_t utf8_length = 0;
  if (!ConvertInto(utf8, &utf8_length, [&](char* dest, int32_t cap, UErrorCode* status) {
        int32_t length = 0;
        u_strToUTF8(dest, cap, &length, lowered.data(), lowered_length, status);
        return length;
      })) {
    return std::string(text);
  }
  return std::string(utf8.data(), static_cast<size_t>(utf8_length));
}

}  // namespace velmar::memory
