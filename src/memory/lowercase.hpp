#pragma once

#include <string>
#include <string_view>

namespace velmar::memory {

// The full Unicode lowercase mapping of UTF-8 text (ICU's root locale, final
// capital sigma rule included). ASCII text takes a fast path.
std::string ToLower(std::string_view text);

}  // namespace velmar::memory
