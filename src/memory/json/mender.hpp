#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace velmar::memory {

// Bytes rewritten by Mend, with what they were.
using Undo = std::vector<std::pair<size_t, std::string>>;

// Rewrites, in place and without changing its length, what simdjson refuses
// in valid JSON that the reader must accept:
//   - in the value of a key the reader ignores (at any depth inside it),
//     every number becomes 0 and every lone surrogate escape \uD800-\uDFFF
//     becomes \uFFFD (the value is dropped anyway), as do such escapes in
//     the ignored key itself;
//   - an integer `created_at` too large for 64 bits becomes the same value
//     written as digits and an exponent, which reads as the double nearest
//     to it (as a fractional number of that size would).
// Anything else is left as it is, so that an error anywhere else still
// fails the parse. Stops, changing nothing more, at text that is not JSON
// or nests too deep: the parse refuses such text anyway. What it rewrote
// is appended to *undo.
void Mend(char* text, size_t size, Undo* undo);

// Puts back what Mend rewrote.
void Restore(char* text, const Undo& undo);

}  // namespace velmar::memory
