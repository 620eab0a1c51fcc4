#include "memory/lowercase.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace velmar::memory {

namespace {

// kLowerFrom/kLowerStart/kLowerText (each code point whose lowercase differs
// from itself, and that lowercase as UTF-8) and kSigmaContext (how each code
// point counts for the final sigma rule), generated from ICU's root-locale
// u_strToLower when the project is built.
#include "lowercase_tables.inc"

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr std::string_view kSmallFinalSigma = "\xCF\x82";  // ς
constexpr uint8_t kCased = 1;
constexpr uint8_t kCaseIgnorable = 2;

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

// One code point of well-formed UTF-8 starting at text[pos] (no overlong
// forms, no surrogates, nothing above U+10FFFF); nullopt otherwise.
std::optional<char32_t> DecodeAt(std::string_view text, size_t pos, size_t* length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  size_t n;
  char32_t c;
  char32_t min;
  if (lead < 0x80) {
    *length = 1;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, c = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, c = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, c = lead & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (pos + n > text.size()) return std::nullopt;
  for (size_t i = 1; i < n; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  *length = n;
  return c;
}

// The code point that ends just before text[end] (text is known valid here).
char32_t DecodeBefore(std::string_view text, size_t end, size_t* start) {
  size_t pos = end - 1;
  while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) --pos;
  size_t length = 0;
  *start = pos;
  return *DecodeAt(text, pos, &length);
}

uint8_t SigmaContext(char32_t c) {
  const auto* end = std::end(kSigmaContext);
  const auto* it = std::upper_bound(std::begin(kSigmaContext), end, c,
                                    [](char32_t v, const SigmaContextRange& r) { return v < r.first; });
  if (it == std::begin(kSigmaContext)) return 0;
  --it;
  return c <= it->last ? it->cls : 0;
}

// Final_Sigma: a cased letter comes before the sigma (case-ignorable code
// points in between are skipped) and none comes after it.
bool IsFinalSigma(std::string_view text, size_t sigma_pos, size_t sigma_length) {
  bool cased_before = false;
  for (size_t pos = sigma_pos; pos > 0;) {
    const uint8_t cls = SigmaContext(DecodeBefore(text, pos, &pos));
    if (cls == kCaseIgnorable) continue;
    cased_before = cls == kCased;
    break;
  }
  if (!cased_before) return false;
  for (size_t pos = sigma_pos + sigma_length; pos < text.size();) {
    size_t length = 0;
    const uint8_t cls = SigmaContext(*DecodeAt(text, pos, &length));
    pos += length;
    if (cls == kCaseIgnorable) continue;
    return cls != kCased;
  }
  return true;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t length = 0;
    if (!DecodeAt(text, pos, &length)) return false;
    pos += length;
  }
  return true;
}

}  // namespace

std::string ToLower(std::string_view text) {
  if (IsAscii(text)) return AsciiLower(text);
  // Text reaching here is valid UTF-8 (Python strings and parsed JSON both
  // are); should that ever not hold, the text is compared as it is.
  if (!IsValidUtf8(text)) return std::string(text);

  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (size_t pos = 0; pos < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
      out.push_back(lead >= 'A' && lead <= 'Z' ? static_cast<char>(lead - 'A' + 'a')
                                               : static_cast<char>(lead));
      ++pos;
      continue;
    }
    size_t length = 0;
    const char32_t c = *DecodeAt(text, pos, &length);
    const auto* it = std::lower_bound(kLowerFrom, kLowerFrom + kLowerCount, c);
    if (it == kLowerFrom + kLowerCount || *it != c) {
      out.append(text.substr(pos, length));
    } else if (c == kCapitalSigma && IsFinalSigma(text, pos, length)) {
      out.append(kSmallFinalSigma);
    } else {
      const size_t i = static_cast<size_t>(it - kLowerFrom);
      out.append(kLowerText + kLowerStart[i], kLowerStart[i + 1] - kLowerStart[i]);
    }
    pos += length;
  }
  return out;
}

}  // namespace velmar::memory
