#include "memory/lowercase.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

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

constexpr char32_t kInvalid = 0xFFFFFFFF;

// One code point of well-formed UTF-8 starting at text[pos] (no overlong
// forms, no surrogates, nothing above U+10FFFF), or kInvalid.
inline char32_t DecodeAt(std::string_view text, size_t pos, size_t* length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const size_t left = text.size() - pos;
  const auto cont = [p](size_t i) { return (p[i] & 0xC0) == 0x80; };
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    *length = 1;
    return b0;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !cont(1)) return kInvalid;
    *length = 2;
    return static_cast<char32_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F));
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(1) || !cont(2)) return kInvalid;
    const auto c = static_cast<char32_t>(((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
    if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return kInvalid;
    *length = 3;
    return c;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return kInvalid;
    const auto c = static_cast<char32_t>(((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) |
                                         ((p[2] & 0x3F) << 6) | (p[3] & 0x3F));
    if (c < 0x10000 || c > 0x10FFFF) return kInvalid;
    *length = 4;
    return c;
  }
  return kInvalid;
}

// The code point that ends just before text[end], in text already checked.
char32_t DecodeBefore(std::string_view text, size_t end, size_t* start) {
  size_t pos = end - 1;
  while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) --pos;
  size_t length = 0;
  *start = pos;
  return DecodeAt(text, pos, &length);
}

// Two-stage lookup of kLowerFrom, built once: most 256-code-point blocks
// hold no mapping and share one all-zero block, so the whole table is a few
// tens of KB and a lookup is two loads instead of a binary search.
class LowerIndex {
 public:
  LowerIndex() {
    blocks_.assign(kBlockSize, 0);  // block 0: nothing maps
    for (size_t i = 0; i < kLowerCount; ++i) {
      const char32_t c = kLowerFrom[i];
      uint16_t& block = stage1_[c / kBlockSize];
      if (block == 0) {
        block = static_cast<uint16_t>(blocks_.size() / kBlockSize);
        blocks_.resize(blocks_.size() + kBlockSize, 0);
      }
      blocks_[block * kBlockSize + c % kBlockSize] = static_cast<uint16_t>(i + 1);
    }
  }

  // 1 + the position of `c` in kLowerFrom, or 0 when `c` is its own lowercase.
  uint16_t Find(char32_t c) const {
    return blocks_[stage1_[c / kBlockSize] * kBlockSize + c % kBlockSize];
  }

 private:
  static constexpr size_t kBlockSize = 256;
  static_assert(kLowerCount < 0xFFFF);
  std::array<uint16_t, 0x110000 / kBlockSize> stage1_{};
  std::vector<uint16_t> blocks_;
};

const LowerIndex& Index() {
  static const LowerIndex index;
  return index;
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
    size_t length = 1;
    // Text past the current position is not checked yet: a malformed byte
    // counts as neither cased nor ignorable (ToLower then gives up anyway).
    const uint8_t cls = SigmaContext(DecodeAt(text, pos, &length));
    pos += length;
    if (cls == kCaseIgnorable) continue;
    return cls != kCased;
  }
  return true;
}

}  // namespace

std::string ToLower(std::string_view text) {
  if (IsAscii(text)) return AsciiLower(text);
  const LowerIndex& index = Index();
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
    const char32_t c = DecodeAt(text, pos, &length);
    // Text reaching here is valid UTF-8 (Python strings and parsed JSON both
    // are); should that ever not hold, the text is compared as it is.
    if (c == kInvalid) return std::string(text);
    const uint16_t found = index.Find(c);
    if (found == 0) {
      out.append(text.substr(pos, length));
    } else if (c == kCapitalSigma && IsFinalSigma(text, pos, length)) {
      out.append(kSmallFinalSigma);
    } else {
      const size_t i = found - 1u;
      out.append(kLowerText + kLowerStart[i], kLowerStart[i + 1] - kLowerStart[i]);
    }
    pos += length;
  }
  return out;
}

bool MayChangeInLowercase(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  while (p < end) {
    const unsigned char c = *p++;
    if (c < 0x80) {
      if (c >= 'A' && c <= 'Z') return true;
      continue;
    }
    // U+0080-U+00BF (C2 xx) never change; U+00C0-U+00FF are C3 80-BF.
    if ((c != 0xC2 && c != 0xC3) || p == end) return true;
    const unsigned char next = *p++;
    if (c == 0xC3 && next <= 0x9E && next != 0x97) return true;
  }
  return false;
}

}  // namespace velmar::memory
