// The lowercase mapping runs on tables generated from ICU at build time; these
// tests hold it to ICU's own u_strToLower (root locale) on every code point.
#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <string>
#include <vector>

#include "memory/lowercase.hpp"

namespace velmar::memory {
namespace {

std::string IcuLower(const std::string& text) {
  std::vector<UChar> utf16(text.size() + 1);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  std::vector<UChar> lowered(static_cast<size_t>(length) * 3 + 8);
  const int32_t lowered_length = u_strToLower(lowered.data(), static_cast<int32_t>(lowered.size()),
                                              utf16.data(), length, "", &status);
  std::string out(static_cast<size_t>(lowered_length) * 3 + 4, '\0');
  int32_t out_length = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &out_length, lowered.data(),
              lowered_length, &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  out.resize(static_cast<size_t>(out_length));
  return out;
}

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

bool IsScalar(char32_t c) { return c < 0xD800 || c > 0xDFFF; }

const std::string kSigma = "\xCE\xA3";  // Σ

// Every code point alone, between letters, and on each side of a capital
// sigma, so that both its own mapping and its part in the final sigma rule
// (cased, case-ignorable or neither) match ICU.
TEST(LowercaseTablesTest, EveryCodePointMatchesIcu) {
  int failures = 0;
  for (char32_t c = 0; c <= 0x10FFFF && failures < 20; ++c) {
    if (!IsScalar(c)) continue;
    const std::string cp = Utf8(c);
    for (const std::string& text :
         {cp, "A" + cp + "b", cp + kSigma, "A" + cp + kSigma, "A" + kSigma + cp,
          "A" + kSigma + cp + "b", kSigma + cp}) {
      if (ToLower(text) != IcuLower(text)) {
        ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c) << " in \"" << text << "\"";
        ++failures;
      }
    }
  }
}

TEST(LowercaseTablesTest, FinalSigmaContexts) {
  const std::string ignorable = "\xCC\x81";  // U+0301 combining acute, case-ignorable
  const std::string apostrophe = "'";        // case-ignorable too
  const std::string cased_modifier = "\xCA\xB0";  // U+02B0, cased but not a letter with case
  for (const std::string& text : std::vector<std::string>{
           kSigma, "A" + kSigma, kSigma + "A", "A" + kSigma + "A", "AB" + kSigma + " CD",
           "A" + ignorable + ignorable + kSigma, "A" + kSigma + ignorable + apostrophe,
           "A" + kSigma + ignorable + apostrophe + "b", apostrophe + kSigma,
           "1" + kSigma, "A1" + kSigma, kSigma + kSigma + kSigma, "A" + kSigma + kSigma,
           "\xCE\x9F\xCE\x94\xCE\x9F" + kSigma + ".", cased_modifier + kSigma,
           "A" + kSigma + cased_modifier, "\xF0\x90\x90\x80" + kSigma,  // after 𐐀
           "A" + kSigma + "\xF0\x90\x90\x80", "A\xE2\x80\x8B" + kSigma}) {  // U+200B
    EXPECT_EQ(ToLower(text), IcuLower(text)) << text;
  }
}

TEST(LowercaseTablesTest, MalformedUtf8IsLeftAsItIs) {
  for (const std::string& text : {std::string("\xC3"), std::string("A\xC0\x80"),
                                  std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"),
                                  std::string("\xC3\xA9\x80")}) {
    EXPECT_EQ(ToLower(text), text);
  }
}

}  // namespace
}  // namespace velmar::memory
