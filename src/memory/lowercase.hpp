#pragma once

#include <string>
#include <string_view>

namespace velmar::memory {

// The full Unicode lowercase mapping of UTF-8 text (ICU's root locale, final
// capital sigma rule included). ASCII text takes a fast path.
std::string ToLower(std::string_view text);

// True when ToLower could change `s`. Of the first 256 code points only the
// capitals change (A-Z, U+00C0-U+00D6, U+00D8-U+00DE), and none of them is
// touched by the context rules, so text in that range is decided here;
// anything beyond it is left to ToLower. Accented lowercase letters are
// common enough in keys that mapping them would cost more than all
// the rest of storing an entry.
bool MayChangeInLowercase(std::string_view s);

}  // namespace velmar::memory
