// Placeholder: ASCII only. Replaced by the ICU mapping.
#include "memory/lowercase.hpp"

namespace velmar::memory {

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace velmar::memory
