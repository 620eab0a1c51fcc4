// Writes the lowercase tables of src/memory/lowercase.cpp from the ICU the
// build sees, so that the module itself needs neither ICU's library nor its
// ~30 MB of data at run time.
//
// Two facts of ICU's root-locale lowercase mapping make a table possible:
// every code point maps to a fixed string on its own, and the one context
// rule (capital sigma at the end of a word) depends only on whether the
// neighbouring code points are cased, case-ignorable, or neither. Both are
// read here by asking u_strToLower itself, not from the property data, so the
// tables copy ICU's behaviour even where its context test deviates from the
// published properties. A native test compares the result with ICU on every
// code point.
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/uversion.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr UChar32 kCapitalSigma = 0x3A3;
constexpr UChar kFinalSigma = 0x3C2;
constexpr UChar kSmallSigma = 0x3C3;

std::u16string Lower(const std::u16string& text) {
  std::u16string out(text.size() * 3 + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = u_strToLower(reinterpret_cast<UChar*>(out.data()),
                                      static_cast<int32_t>(out.size()),
                                      reinterpret_cast<const UChar*>(text.data()),
                                      static_cast<int32_t>(text.size()), "", &status);
  if (U_FAILURE(status)) {
    std::fprintf(stderr, "u_strToLower failed: %s\n", u_errorName(status));
    std::exit(1);
  }
  out.resize(static_cast<size_t>(length));
  return out;
}

std::u16string Utf16(UChar32 c) {
  std::u16string s;
  if (c < 0x10000) {
    s.push_back(static_cast<char16_t>(c));
  } else {
    s.push_back(static_cast<char16_t>(0xD7C0 + (c >> 10)));
    s.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
  }
  return s;
}

std::string Utf8(const std::u16string& text) {
  std::string out(text.size() * 3 + 4, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length,
              reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
              &status);
  if (U_FAILURE(status)) std::exit(1);
  out.resize(static_cast<size_t>(length));
  return out;
}

// 0 = neither, 1 = cased, 2 = case-ignorable, as the sigma rule sees `c`
// before the sigma. The rule is symmetric, so the class after the sigma must
// agree; the generator stops if it does not.
int SigmaClass(UChar32 c) {
  const std::u16string cp = Utf16(c);
  const std::u16string sigma = Utf16(kCapitalSigma);
  const std::u16string letter = u"A";
  const auto ends_final = [](const std::u16string& s) { return !s.empty() && s.back() == kFinalSigma; };
  int before = 0;
  if (ends_final(Lower(cp + sigma))) {
    before = 1;
  } else if (ends_final(Lower(letter + cp + sigma))) {
    before = 2;
  }
  // After the sigma: "AΣc" keeps σ when c is cased; "AΣcA" keeps σ when c is
  // cased or ignorable. Σ lowers to one unit, so it sits at index 1.
  const std::u16string after_alone = Lower(letter + sigma + cp);
  const std::u16string after_then_letter = Lower(letter + sigma + cp + letter);
  int after = 0;
  if (after_alone[1] == kSmallSigma) {
    after = 1;
  } else if (after_then_letter[1] == kSmallSigma) {
    after = 2;
  }
  if (before != after) {
    std::fprintf(stderr, "U+%04X: sigma context differs before (%d) and after (%d)\n",
                 static_cast<unsigned>(c), before, after);
    std::exit(1);
  }
  return before;
}

void WriteEscaped(std::FILE* out, const std::string& bytes) {
  for (unsigned char b : bytes) std::fprintf(out, "\\x%02X", b);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::vector<UChar32> from;
  std::vector<std::string> to;
  struct Range {
    UChar32 first, last;
    int cls;
  };
  std::vector<Range> ranges;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // never in valid UTF-8
    const std::u16string cp = Utf16(c);
    const std::u16string low = Lower(cp);
    if (low != cp) {
      from.push_back(c);
      to.push_back(Utf8(low));
    }
    const int cls = SigmaClass(c);
    if (cls == 0) continue;
    if (!ranges.empty() && ranges.back().cls == cls && ranges.back().last + 1 == c) {
      ranges.back().last = c;
    } else if (!ranges.empty() && ranges.back().cls == cls && ranges.back().last == 0xD7FF &&
               c == 0xE000) {
      ranges.back().last = c;  // across the surrogates, which never occur
    } else {
      ranges.push_back({c, c, cls});
    }
  }

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Generated at build time from ICU %s. Do not edit.\n", U_ICU_VERSION);
  std::fprintf(out, "inline constexpr char kIcuVersion[] = \"%s\";\n", U_ICU_VERSION);
  std::fprintf(out, "inline constexpr size_t kLowerCount = %zu;\n", from.size());
  std::fprintf(out, "inline constexpr char32_t kLowerFrom[kLowerCount] = {\n");
  for (size_t i = 0; i < from.size(); ++i) std::fprintf(out, "0x%X,%s", static_cast<unsigned>(from[i]), i % 12 == 11 ? "\n" : "");
  std::fprintf(out, "};\n");
  // kLowerText holds every mapping back to back; mapping i is the bytes from
  // kLowerStart[i] to kLowerStart[i + 1].
  std::fprintf(out, "inline constexpr uint16_t kLowerStart[kLowerCount + 1] = {\n");
  size_t offset = 0;
  for (size_t i = 0; i <= to.size(); ++i) {
    std::fprintf(out, "%zu,%s", offset, i % 16 == 15 ? "\n" : "");
    if (i < to.size()) offset += to[i].size();
  }
  std::fprintf(out, "};\n");
  if (offset > 0xFFFF) return 1;
  std::fprintf(out, "inline constexpr char kLowerText[] =\n");
  for (size_t i = 0; i < to.size(); i += 16) {
    std::fprintf(out, "\"");
    for (size_t j = i; j < to.size() && j < i + 16; ++j) WriteEscaped(out, to[j]);
    std::fprintf(out, "\"\n");
  }
  std::fprintf(out, ";\n");
  std::fprintf(out, "struct SigmaContextRange { char32_t first, last; uint8_t cls; };\n");
  std::fprintf(out, "inline constexpr SigmaContextRange kSigmaContext[] = {\n");
  for (const Range& r : ranges) std::fprintf(out, "{0x%X,0x%X,%d},\n", static_cast<unsigned>(r.first), static_cast<unsigned>(r.last), r.cls);
  std::fprintf(out, "};\n");
  return std::fclose(out) == 0 ? 0 : 1;
}
