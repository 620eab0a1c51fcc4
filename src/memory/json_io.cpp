#include "memory/json_io.hpp"

#include <emmintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "common/worker_pool.hpp"
#include "memory/store.hpp"

namespace velmar::memory {

namespace {

// ---------------------------------------------------------------------------
// Writing

// For each byte: 0 when it is written as is, otherwise the letter after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Appends into one growing buffer through a raw cursor. Every write first
// asks for enough room for its worst case, so the inner loops carry no
// bounds checks. The string's length is the capacity in use; Finish() cuts
// it to what was written.
class JsonWriter {
 public:
  explicit JsonWriter(size_t expected) { Grow(std::max<size_t>(expected, 64)); }

  std::string Finish() && {
    out_.resize(pos_);
    return std::move(out_);
  }

  char* Room(size_t n) {
    if (out_.size() - pos_ < n) Grow(pos_ + n);
    return out_.data() + pos_;
  }
  void Advance(char* end) { pos_ = static_cast<size_t>(end - out_.data()); }

  void Raw(std::string_view s) {
    char* p = Room(s.size());
    std::memcpy(p, s.data(), s.size());
    pos_ += s.size();
  }
  void Char(char c) {
    *Room(1) = c;
    ++pos_;
  }

  void String(std::string_view s) {
    Char('"');
    // In chunks, so that the worst-case reservation (6 bytes out per byte
    // in) stays small even for a huge string.
    constexpr size_t kChunk = 4096;
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p < end) {
      const char* chunk_end = p + std::min<size_t>(kChunk, static_cast<size_t>(end - p));
      char* out = Room(6 * static_cast<size_t>(chunk_end - p) + 16);
      p = EscapeChunk(p, chunk_end, out);
    }
    Char('"');
  }

  void Unsigned(uint64_t v) {
    char* p = Room(20);
    Advance(std::to_chars(p, p + 20, v).ptr);
  }

  void Double(double v);

  void StringList(const std::vector<std::string>& items) {
    Char('[');
    for (size_t i = 0; i < items.size(); ++i) {
      if (i != 0) Char(',');
      String(items[i]);
    }
    Char(']');
  }

  void OptString(const std::optional<std::string>& s) {
    if (s) {
      String(*s);
    } else {
      Raw("null");
    }
  }

 private:
  void Grow(size_t need) {
    size_t size = std::max(need, out_.size() * 2);
    // The bytes past pos_ are always written before they are read.
    out_.resize_and_overwrite(size, [](char*, size_t n) { return n; });
    AdviseHugePages(out_.data() + pos_, out_.size() - pos_);
  }

  // Escapes [p, end) into out (room for 6 bytes per input byte + 16) and
  // advances the cursor. Returns end.
  const char* EscapeChunk(const char* p, const char* end, char* out) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1f);
    while (p < end) {
      // Plain runs are copied 16 bytes at a time; the stores may run past
      // the run, into room that the next bytes overwrite.
      while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
            _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        int mask = _mm_movemask_epi8(special);
        if (mask == 0) {
          p += 16;
          out += 16;
          continue;
        }
        int plain = __builtin_ctz(static_cast<unsigned>(mask));
        p += plain;
        out += plain;
        out = EscapeByte(static_cast<unsigned char>(*p++), out);
      }
      if (p == end) break;
      auto c = static_cast<unsigned char>(*p++);
      if (kEscapes[c] == 0) {
        *out++ = static_cast<char>(c);
      } else {
        out = EscapeByte(c, out);
      }
    }
    Advance(out);
    return end;
  }

  static char* EscapeByte(unsigned char c, char* out) {
    static constexpr char kHex[] = "0123456789abcdef";
    char letter = kEscapes[c];
    *out++ = '\\';
    *out++ = letter;
    if (letter == 'u') {
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 15];
    }
    return out;
  }

  std::string out_;
  size_t pos_ = 0;
};

// Shortest round-trip digits laid out like Ryu's "pretty" printer. With the
// digit string d of length n and the point at kk (value = 0.d * 10^kk):
//   whole numbers up to 17 digits:  d, then kk-n zeros, ".0"   (5.0)
//   point inside the digits:        d with a point after kk    (1700000000.25)
//   small magnitudes:               "0.", -kk zeros, d         (0.001234)
//   otherwise exponent form:        d[0] ["." rest] "e" kk-1   (1e16, 1.5e300)
void JsonWriter::Double(double v) {
  if (!std::isfinite(v)) {
    Raw("null");
    return;
  }
  char sci[32];
  auto res = std::to_chars(sci, sci + sizeof(sci), v, std::chars_format::scientific);
  const char* s = sci;
  char* out = Room(40);
  if (*s == '-') *out++ = *s++;
  // sci is d[.ddd]e(+|-)XX
  char digits[20];
  int n = 0;
  const char* e = s;
  for (; *e != 'e'; ++e) {
    if (*e != '.') digits[n++] = *e;
  }
  int exp10 = 0;
  std::from_chars(e + 1 + (e[1] == '+'), res.ptr, exp10);
  const int kk = exp10 + 1;

  if (kk - n >= 0 && kk <= 16) {
    out = std::copy(digits, digits + n, out);
    out = std::fill_n(out, kk - n, '0');
    *out++ = '.';
    *out++ = '0';
  } else if (kk > 0 && kk <= 16) {
    out = std::copy(digits, digits + kk, out);
    *out++ = '.';
    out = std::copy(digits + kk, digits + n, out);
  } else if (kk > -5 && kk <= 0) {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -kk, '0');
    out = std::copy(digits, digits + n, out);
  } else {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      out = std::copy(digits + 1, digits + n, out);
    }
    *out++ = 'e';
    out = std::to_chars(out, out + 8, kk - 1).ptr;
  }
  Advance(out);
}

size_t ExpectedSize(const std::vector<MetadataEntry>& entries) {
  // Keys and punctuation come to about 200 bytes; strings are sized from a
  // sample so that a large index does not walk all of its data twice.
  const size_t sample = std::min<size_t>(entries.size(), 64);
  size_t bytes = 0;
  for (size_t i = 0; i < sample; ++i) {
    const MetadataEntry& e = entries[i];
    bytes += 220 + e.memory_id.size() + e.user_id.size() + e.memory_type.size();
    for (const auto* list : {&e.subjects, &e.objects, &e.keywords, &e.tags}) {
      for (const auto& s : *list) bytes += s.size() + 3;
    }
    if (e.chat_id) bytes += e.chat_id->size();
    if (e.content_preview) bytes += e.content_preview->size();
  }
  if (sample == 0) return 2;
  return bytes / sample * entries.size() + entries.size() / 8 + 16;
}

// ---------------------------------------------------------------------------
// Reading

// An index into the entry's fields, or kUnknown for a key to ignore.
using Field = int;
constexpr Field kUnknown = -1;

// memory_id through access_count must be present in the object form.
constexpr uint32_t kRequiredFields = (1u << kChatId) - 1;

Field FieldOf(std::string_view key) {
  switch (key.size()) {
    case 4:
      if (key == "tags") return kTags;
      break;
    case 7:
      if (key == "user_id") return kUserId;
      if (key == "objects") return kObjects;
      if (key == "chat_id") return kChatId;
      break;
    case 8:
      if (key == "subjects") return kSubjects;
      if (key == "keywords") return kKeywords;
      break;
    case 9:
      if (key == "memory_id") return kMemoryId;
      break;
    case 10:
      if (key == "importance") return kImportance;
      if (key == "confidence") return kConfidence;
      if (key == "created_at") return kCreatedAt;
      break;
    case 11:
      if (key == "memory_type") return kMemoryType;
      break;
    case 12:
      if (key == "access_count") return kAccessCount;
      break;
    case 15:
      if (key == "content_preview") return kContentPreview;
      break;
  }
  return kUnknown;
}

using simdjson::dom::element;
using simdjson::dom::element_type;

bool ReadText(element v, std::string& out) {
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.assign(s);
  return true;
}

bool ReadTextList(element v, std::vector<std::string>& out) {
  simdjson::dom::array array;
  if (v.get_array().get(array)) return false;
  out.reserve(array.size());
  for (element item : array) {
    std::string_view s;
    if (item.get_string().get(s)) return false;
    out.emplace_back(s);
  }
  return true;
}

// A JSON integer (no fraction, no exponent) from 0 to max.
bool ReadUnsigned(element v, uint64_t max, uint64_t& out) {
  switch (v.type()) {
    case element_type::INT64: {
      int64_t i = v.get_int64().value_unsafe();
      if (i < 0 || static_cast<uint64_t>(i) > max) return false;
      out = static_cast<uint64_t>(i);
      return true;
    }
    case element_type::UINT64: {
      uint64_t u = v.get_uint64().value_unsafe();
      if (u > max) return false;
      out = u;
      return true;
    }
    default:
      return false;
  }
}

bool ReadNumber(element v, double& out) {
  switch (v.type()) {
    case element_type::INT64:
      out = static_cast<double>(v.get_int64().value_unsafe());
      return true;
    case element_type::UINT64:
      out = static_cast<double>(v.get_uint64().value_unsafe());
      return true;
    case element_type::DOUBLE:
      out = v.get_double().value_unsafe();
      return true;
    default:
      return false;
  }
}

bool ReadOptText(element v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (v.get_string().get(s)) return false;
  out.emplace(s);
  return true;
}

bool ReadField(Field field, element v, MetadataEntry& e) {
  uint64_t u = 0;
  switch (field) {
    case kMemoryId:
      return ReadText(v, e.memory_id);
    case kUserId:
      return ReadText(v, e.user_id);
    case kMemoryType:
      return ReadText(v, e.memory_type);
    case kSubjects:
      return ReadTextList(v, e.subjects);
    case kObjects:
      return ReadTextList(v, e.objects);
    case kKeywords:
      return ReadTextList(v, e.keywords);
    case kTags:
      return ReadTextList(v, e.tags);
    case kImportance:
      if (!ReadUnsigned(v, 255, u)) return false;
      e.importance = static_cast<uint8_t>(u);
      return true;
    case kConfidence:
      if (!ReadUnsigned(v, 255, u)) return false;
      e.confidence = static_cast<uint8_t>(u);
      return true;
    case kCreatedAt:
      return ReadNumber(v, e.created_at);
    case kAccessCount:
      if (!ReadUnsigned(v, 0xffffffffULL, u)) return false;
      e.access_count = static_cast<uint32_t>(u);
      return true;
    case kChatId:
      return ReadOptText(v, e.chat_id);
    case kContentPreview:
      return ReadOptText(v, e.content_preview);
    default:
      return false;
  }
}

bool ReadObjectEntry(simdjson::dom::object object, MetadataEntry& e) {
  uint32_t seen = 0;
  // Keys we do not know are ignored, but a repeated one is still an error.
  std::vector<std::string_view> unknown;
  std::unordered_set<std::string_view> unknown_set;
  for (simdjson::dom::key_value_pair member : object) {
    Field field = FieldOf(member.key);
    if (field == kUnknown) {
      if (unknown_set.empty()) {
        if (std::find(unknown.begin(), unknown.end(), member.key) != unknown.end()) return false;
        unknown.push_back(member.key);
        if (unknown.size() > 16) unknown_set.insert(unknown.begin(), unknown.end());
      } else if (!unknown_set.insert(member.key).second) {
        return false;
      }
      continue;
    }
    const uint32_t bit = 1u << field;
    if (seen & bit) return false;
    seen |= bit;
    if (!ReadField(field, member.value, e)) return false;
  }
  return (seen & kRequiredFields) == kRequiredFields;
}

bool ReadPositionalEntry(simdjson::dom::array array, MetadataEntry& e) {
  int index = 0;
  for (element value : array) {
    if (index == kEntryFieldCount) return false;
    if (!ReadField(static_cast<Field>(index), value, e)) return false;
    ++index;
  }
  return index == kEntryFieldCount;
}

void WriteEntry(JsonWriter& w, const MetadataEntry& e, bool first) {
  w.Raw(first ? "{\"memory_id\":" : ",{\"memory_id\":");
  w.String(e.memory_id);
  w.Raw(",\"user_id\":");
  w.String(e.user_id);
  w.Raw(",\"memory_type\":");
  w.String(e.memory_type);
  w.Raw(",\"subjects\":");
  w.StringList(e.subjects);
  w.Raw(",\"objects\":");
  w.StringList(e.objects);
  w.Raw(",\"keywords\":");
  w.StringList(e.keywords);
  w.Raw(",\"tags\":");
  w.StringList(e.tags);
  w.Raw(",\"importance\":");
  w.Unsigned(e.importance);
  w.Raw(",\"confidence\":");
  w.Unsigned(e.confidence);
  w.Raw(",\"created_at\":");
  w.Double(e.created_at);
  w.Raw(",\"access_count\":");
  w.Unsigned(e.access_count);
  w.Raw(",\"chat_id\":");
  w.OptString(e.chat_id);
  w.Raw(",\"content_preview\":");
  w.OptString(e.content_preview);
  w.Char('}');
}

}  // namespace

std::string WriteIndexJson(const std::vector<MetadataEntry>& entries) {
  JsonWriter w(ExpectedSize(entries));
  w.Char('[');
  for (size_t i = 0; i < entries.size(); ++i) WriteEntry(w, entries[i], i == 0);
  w.Char(']');
  return std::move(w).Finish();
}

std::string WriteStoreJson(const MetadataStore& store) {
  // Sized from the first entries seen; the buffer grows if that was low.
  std::vector<MetadataEntry> sample;
  for (size_t s = 0; s < store.ShardCount() && sample.size() < 64; ++s) {
    store.VisitShard(s, [&](const StoredEntry& stored) {
      if (sample.size() < 64) sample.push_back(stored.entry);
    });
  }
  size_t total = store.CountKeys().entries;
  size_t expected = sample.empty() ? 2 : ExpectedSize(sample) / sample.size() * total;
  JsonWriter w(expected + expected / 8);
  w.Char('[');
  bool first = true;
  for (size_t s = 0; s < store.ShardCount(); ++s) {
    store.VisitShard(s, [&](const StoredEntry& stored) {
      WriteEntry(w, stored.entry, first);
      first = false;
    });
  }
  w.Char(']');
  return std::move(w).Finish();
}

namespace {

// Reads the elements of `top` from position `first` to `last` into out[0],
// out[1], ...
bool ReadEntries(simdjson::dom::array top, size_t first, size_t last, MetadataEntry* out) {
  auto it = top.begin();
  for (size_t i = 0; i < first; ++i) ++it;
  for (size_t i = first; i < last; ++i, ++it) {
    element item = *it;
    MetadataEntry& e = *out++;
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (!item.get_object().get(object)) {
      if (!ReadObjectEntry(object, e)) return false;
    } else if (!item.get_array().get(array)) {
      if (!ReadPositionalEntry(array, e)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The largest text simdjson parses in one go; tests lower it.
size_t g_piece_limit = simdjson::SIMDJSON_MAXSIZE_BYTES;

// Parses the `size` bytes at `padded` (followed by SIMDJSON_PADDING
// readable bytes) with `parser`, nesting at most 128 deep, into the
// top-level array `top`. simdjson validates the UTF-8 of the whole text as
// it goes. A parse error is left in *error.
bool ParseArray(simdjson::dom::parser& parser, const char* padded, size_t size,
                simdjson::dom::array& top, simdjson::error_code* error) {
  *error = parser.allocate(size, 128);
  if (*error) return false;
  element root;
  *error = parser.parse(padded, size, /*realloc_if_needed=*/false).get(root);
  if (*error) return false;
  return !root.get_array().get(top);
}

// Errors that valid JSON can raise in simdjson: a number beyond what a
// 64-bit integer or a double holds, a lone surrogate escape in a string.
// Text failing with one of these may still be an index file (Mend).
bool MayMend(simdjson::error_code error) {
  return error == simdjson::NUMBER_ERROR ||
         error == simdjson::STRING_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE;
}

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
// or nests too deep: the parse refuses such text anyway.
class Mender {
 public:
  Mender(char* text, size_t size, Undo* undo) : t_(text), n_(size), undo_(undo) {}

  void Run() {
    Space();
    if (!Is('[')) return;
    ++i_;
    Space();
    if (Is(']')) return;
    for (;;) {
      Space();
      if (Is('{')) {
        if (!EntryObject()) return;
      } else if (Is('[')) {
        if (!Positional()) return;
      } else if (!Value(kPlain, 1)) {
        return;
      }
      Space();
      if (!Is(',')) return;
      ++i_;
    }
  }

 private:
  enum Role { kPlain, kSkipped, kTime };
  static constexpr int kMaxDepth = 130;  // past simdjson's 128: it decides

  bool Is(char c) const { return i_ < n_ && t_[i_] == c; }
  void Space() {
    while (i_ < n_ && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  void Rewrite(size_t at, std::string_view with) {
    undo_->emplace_back(at, std::string(t_ + at, with.size()));
    std::memcpy(t_ + at, with.data(), with.size());
  }

  bool EntryObject() {
    ++i_;  // '{'
    Space();
    if (Is('}')) return ++i_, true;
    for (;;) {
      Space();
      const size_t key_at = i_;
      std::string key;
      if (!String(false, &key)) return false;
      const Field field = FieldOf(key);
      if (field == kUnknown) {
        i_ = key_at;
        if (!String(true, nullptr)) return false;
      }
      Space();
      if (!Is(':')) return false;
      ++i_;
      Space();
      const Role role = field == kUnknown ? kSkipped : field == kCreatedAt ? kTime : kPlain;
      if (!Value(role, 2)) return false;
      Space();
      if (Is('}')) return ++i_, true;
      if (!Is(',')) return false;
      ++i_;
    }
  }

  bool Positional() {
    ++i_;  // '['
    Space();
    if (Is(']')) return ++i_, true;
    for (int index = 0;; ++index) {
      Space();
      if (!Value(index == kCreatedAt ? kTime : kPlain, 2)) return false;
      Space();
      if (Is(']')) return ++i_, true;
      if (!Is(',')) return false;
      ++i_;
    }
  }

  bool Value(Role role, int depth) {
    if (i_ >= n_ || depth > kMaxDepth) return false;
    const Role inner = role == kSkipped ? kSkipped : kPlain;
    const char c = t_[i_];
    if (c == '"') return String(role == kSkipped, nullptr);
    if (c == '-' || (c >= '0' && c <= '9')) return Number(role);
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i_;
      Space();
      if (Is(close)) return ++i_, true;
      for (;;) {
        Space();
        if (c == '{') {
          if (!String(role == kSkipped, nullptr)) return false;
          Space();
          if (!Is(':')) return false;
          ++i_;
          Space();
        }
        if (!Value(inner, depth + 1)) return false;
        Space();
        if (Is(close)) return ++i_, true;
        if (!Is(',')) return false;
        ++i_;
      }
    }
    for (std::string_view word : {"true", "false", "null"}) {
      if (std::string_view(t_ + i_, std::min(n_ - i_, word.size())) == word) {
        i_ += word.size();
        return true;
      }
    }
    return false;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // The code unit of the \uXXXX escape at t_[at] ('\\'), or -1.
  int Escape(size_t at) const {
    if (at + 6 > n_ || t_[at] != '\\' || t_[at + 1] != 'u') return -1;
    int unit = 0;
    for (size_t k = at + 2; k < at + 6; ++k) {
      const int h = Hex(t_[k]);
      if (h < 0) return -1;
      unit = unit * 16 + h;
    }
    return unit;
  }

  // Scans a string. With `mend`, lone surrogate escapes become \uFFFD.
  // With `decoded`, appends its text there as far as FieldOf needs it (any
  // character beyond ASCII becomes a byte that no field name holds).
  bool String(bool mend, std::string* decoded) {
    if (!Is('"')) return false;
    for (++i_; i_ < n_; ++i_) {
      const char c = t_[i_];
      if (c == '"') return ++i_, true;
      if (c != '\\') {
        if (decoded != nullptr) decoded->push_back(c);
        continue;
      }
      if (i_ + 1 >= n_) return false;
      const char e = t_[i_ + 1];
      if (e != 'u') {
        if (decoded != nullptr) decoded->push_back(e == '"' || e == '\\' || e == '/' ? e : '\x01');
        ++i_;
        continue;
      }
      const int unit = Escape(i_);
      if (unit < 0) return false;
      if (decoded != nullptr) decoded->push_back(unit < 0x80 ? static_cast<char>(unit) : '\x80');
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const int low = Escape(i_ + 6);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          i_ += 11;  // the pair
          continue;
        }
      }
      if (mend && unit >= 0xD800 && unit <= 0xDFFF) Rewrite(i_ + 2, "FFFD");
      i_ += 5;
    }
    return false;
  }

  bool Number(Role role) {
    const size_t begin = i_;
    if (Is('-')) ++i_;
    const size_t digits_at = i_;
    if (Is('0')) {
      ++i_;
    } else {
      if (i_ >= n_ || t_[i_] < '1' || t_[i_] > '9') return false;
      while (i_ < n_ && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
    }
    const size_t digits = i_ - digits_at;
    bool integer = true;
    if (Is('.')) {
      integer = false;
      ++i_;
      const size_t at = i_;
      while (i_ < n_ && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
      if (i_ == at) return false;
    }
    if (Is('e') || Is('E')) {
      integer = false;
      ++i_;
      if (Is('+') || Is('-')) ++i_;
      const size_t at = i_;
      while (i_ < n_ && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
      if (i_ == at) return false;
    }
    const size_t length = i_ - begin;
    if (role == kSkipped) {
      if (length > 1 || t_[begin] != '0') {
        std::string zero(length, ' ');
        zero[0] = '0';
        Rewrite(begin, zero);
      }
    } else if (role == kTime && integer && digits >= 19) {
      MendLargeInteger(begin, length);
    }
    return true;
  }

  // An integer created_at that may not fit 64 bits, at t_[begin].
  void MendLargeInteger(size_t begin, size_t length) {
    const char* first = t_ + begin;
    const char* last = first + length;
    {
      int64_t i;
      uint64_t u;
      if (std::from_chars(first, last, i).ec == std::errc() ||
          std::from_chars(first, last, u).ec == std::errc()) {
        return;  // simdjson reads it
      }
    }
    double value;
    const auto parsed = std::from_chars(first, last, value);
    if (parsed.ec != std::errc() || parsed.ptr != last || !std::isfinite(value)) return;
    // Shortest digits d (n of them) and the exponent of the last: d e k.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof(sci), value, std::chars_format::scientific);
    std::string out;
    const char* p = sci;
    if (*p == '-') out.push_back(*p++);
    int n = 0;
    for (; *p != 'e'; ++p) {
      if (*p != '.') {
        out.push_back(*p);
        ++n;
      }
    }
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exp10);
    out.push_back('e');
    out.append(std::to_string(exp10 - (n - 1)));
    if (out.size() > length) return;  // cannot happen beyond 19 digits
    out.resize(length, ' ');
    Rewrite(begin, out);
  }

  char* t_;
  size_t n_;
  size_t i_ = 0;
  Undo* undo_;
};

void Restore(char* text, const Undo& undo) {
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    std::memcpy(text + it->first, it->second.data(), it->second.size());
  }
}

// The entries of `first` followed by those of `second` (when there is one).
// The entries are independent: with `two_threads`, each array, or each half
// of the only one, is read on its own thread.
std::optional<std::vector<MetadataEntry>> ReadArrays(simdjson::dom::array first,
                                                     const simdjson::dom::array* second,
                                                     bool two_threads) {
  const size_t n1 = first.size();
  const size_t n2 = second != nullptr ? second->size() : 0;
  std::vector<MetadataEntry> entries;
  entries.reserve(n1 + n2);
  AdviseHugePages(entries.data(), entries.capacity() * sizeof(MetadataEntry));
  entries.resize(n1 + n2);
  MetadataEntry* out = entries.data();
  bool ok[2] = {true, true};
  RunInHalves(two_threads, [&](int half) {
    if (second != nullptr) {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1, out) : ReadEntries(*second, 0, n2, out + n1);
    } else {
      ok[half] = half == 0 ? ReadEntries(first, 0, n1 / 2, out)
                           : ReadEntries(first, n1 / 2, n1, out + n1 / 2);
    }
  });
  if (!ok[0] || !ok[1]) return std::nullopt;
  return entries;
}

// The comma of the first `},{"` at or after the middle of the text, or -1.
// In an index file that is the comma between two entries; in other text it
// may sit in a nested value, or `},{` may end a string. ReadIndexJsonInPlace
// finds out by parsing.
int64_t FindCut(const char* text, size_t size) {
  static constexpr char kCut[] = "},{\"";
  const size_t middle = size / 2;
  const void* found = memmem(text + middle, size - middle, kCut, 4);
  if (found == nullptr) return -1;
  return static_cast<const char*>(found) - text + 1;
}

}  // namespace

namespace {

// The text is read in pieces when it is larger than simdjson parses in one
// go. Each piece holds whole entries: it runs from a comma between two
// entries (or the opening bracket) to the next such comma (or the end), and
// is parsed where it is, as an array of its own, with the comma before it
// turned into `[` and the one after it into `]` while it is parsed. Pieces
// are parsed one after another. When a piece parses, its closing comma was
// between two elements of the top-level array (the piece starts at one, and
// a cut inside a string or nested value leaves it unbalanced). A comma
// that was not is moved back to an earlier `},{"` a few times before the
// text is given up as unreadable.
//
// The last comma of a `},{"` in (from, to], or 0.
size_t LastCut(const char* text, size_t from, size_t to) {
  for (size_t c = to; c > from + 1; --c) {
    const void* comma = memrchr(text + from + 2, ',', c - from - 1);
    if (comma == nullptr) return 0;
    c = static_cast<size_t>(static_cast<const char*>(comma) - text);
    if (text[c - 1] == '}' && text[c + 1] == '{' && text[c + 2] == '"') return c;
  }
  return 0;
}

// Outcome of one reading attempt: the entries, or why not.
struct Attempt {
  std::optional<std::vector<MetadataEntry>> entries;
  bool mendable = false;  // failed on an error that Mend may remove
};

Attempt Fail(simdjson::error_code error) {
  Attempt a;
  a.mendable = MayMend(error);
  return a;
}

// Whether reading `size` bytes pays for a second thread.
bool TwoThreadsFor(size_t size) {
  return size >= (size_t{8} << 20) && velmar::AvailableProcessors() >= 2;
}

Attempt ReadInPieces(char* text, size_t size, size_t limit) {
  constexpr int kRetries = 4;
  std::vector<MetadataEntry> all;
  size_t from = 0;  // the piece's `[` or comma
  for (;;) {
    const bool last = size - from <= limit;
    size_t to = last ? size : LastCut(text, from, std::min(from + limit - 1, size - 4));
    for (int retry = 0;; ++retry) {
      if (to == 0) return Attempt{};
      const char opening = text[from];
      const char closing = last ? 0 : text[to];
      text[from] = '[';
      if (!last) text[to] = ']';
      simdjson::dom::parser parser;
      simdjson::dom::array array;
      simdjson::error_code error = simdjson::SUCCESS;
      const size_t piece = (last ? size : to + 1) - from;
      bool parsed = false;
      try {
        parsed = ParseArray(parser, text + from, piece, array, &error);
      } catch (...) {
        text[from] = opening;
        if (!last) text[to] = closing;
        throw;
      }
      text[from] = opening;
      if (!last) text[to] = closing;
      if (parsed) {
        std::optional<std::vector<MetadataEntry>> entries =
            ReadArrays(array, nullptr, TwoThreadsFor(piece));
        if (!entries) return Attempt{};
        if (all.empty()) {
          all = std::move(*entries);
        } else {
          all.insert(all.end(), std::make_move_iterator(entries->begin()),
                     std::make_move_iterator(entries->end()));
        }
        break;
      }
      if (MayMend(error)) return Fail(error);
      if (last || retry == kRetries) return Attempt{};
      to = LastCut(text, from, to - 1);
    }
    if (last) return Attempt{std::move(all)};
    from = to;
  }
}

Attempt ReadWhole(char* text, size_t size, bool two_threads) {
  // Parsing is the longest step that cannot be split once started, so a
  // large text is cut in two at a comma between entries, near the middle,
  // and each piece parsed on its own thread as an array of its own: the
  // first in place with the comma turned into `]`, the second copied behind
  // a `[`. When the first piece parses, the cut was between two elements of
  // the top-level array (a cut inside a string or a nested value leaves it
  // unbalanced), so the text is valid exactly when the second piece is too.
  const int64_t cut = two_threads ? FindCut(text, size) : -1;
  if (cut > 0) {
    const auto at = static_cast<size_t>(cut);
    simdjson::dom::parser parsers[2];
    simdjson::dom::array arrays[2];
    simdjson::error_code errors[2] = {simdjson::SUCCESS, simdjson::SUCCESS};
    bool parsed[2] = {false, false};
    std::unique_ptr<char[]> rest;
    text[at] = ']';
    try {
      RunInHalves(true, [&](int half) {
        if (half == 0) {
          parsed[0] = ParseArray(parsers[0], text, at + 1, arrays[0], &errors[0]);
          return;
        }
        const size_t rest_size = size - at;  // '[' and the bytes after the comma
        rest.reset(new char[rest_size + simdjson::SIMDJSON_PADDING]);
        AdviseHugePages(rest.get(), rest_size);
        rest[0] = '[';
        std::memcpy(rest.get() + 1, text + at + 1, rest_size - 1);
        std::memset(rest.get() + rest_size, 0, simdjson::SIMDJSON_PADDING);
        parsed[1] = ParseArray(parsers[1], rest.get(), rest_size, arrays[1], &errors[1]);
      });
    } catch (...) {
      text[at] = ',';
      throw;
    }
    text[at] = ',';
    rest.reset();  // the parsers keep copies of the strings
    if (parsed[0]) {
      if (!parsed[1]) return Fail(errors[1]);
      return Attempt{ReadArrays(arrays[0], &arrays[1], true)};
    }
    if (MayMend(errors[0])) return Fail(errors[0]);
    // Not a cut between two entries after all: parse the text whole.
  }
  simdjson::dom::parser parser;
  simdjson::dom::array top;
  simdjson::error_code error = simdjson::SUCCESS;
  if (!ParseArray(parser, text, size, top, &error)) return Fail(error);
  return Attempt{ReadArrays(top, nullptr, two_threads)};
}

Attempt ReadIndexText(char* text, size_t size) {
  const size_t limit = std::max<size_t>(g_piece_limit, 16);
  // The parser needs about twice its text in buffers of its own; pieces of
  // 1 GiB keep that small beside a text of many gigabytes.
  if (size > limit) return ReadInPieces(text, size, std::min(limit, size_t{1} << 30));
  return ReadWhole(text, size, TwoThreadsFor(size));
}

}  // namespace

void SetJsonPieceLimitForTesting(size_t bytes) {
  g_piece_limit = bytes == 0 ? simdjson::SIMDJSON_MAXSIZE_BYTES : bytes;
}

std::optional<std::vector<MetadataEntry>> ReadIndexJsonInPlace(char* text, size_t size) {
  static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);
  // A byte-order mark is not JSON whitespace; the file must start with the
  // array (simdjson agrees, but say so here rather than rely on it).
  if (size == 0 || std::string_view(text, size).starts_with("\xEF\xBB\xBF")) return std::nullopt;
  Attempt attempt = ReadIndexText(text, size);
  if (attempt.entries || !attempt.mendable) return std::move(attempt.entries);
  // Valid JSON that simdjson refuses, perhaps: mend it and read it again.
  Undo undo;
  try {
    Mender(text, size, &undo).Run();
    if (undo.empty()) return std::nullopt;
    attempt = ReadIndexText(text, size);
  } catch (...) {
    Restore(text, undo);
    throw;
  }
  Restore(text, undo);
  return std::move(attempt.entries);
}

std::optional<std::vector<MetadataEntry>> ReadIndexJson(std::string_view text) {
  // simdjson reads up to SIMDJSON_PADDING bytes past the end of the text.
  std::unique_ptr<char[]> padded(new char[text.size() + kJsonPadding]);
  AdviseHugePages(padded.get(), text.size());
  std::memcpy(padded.get(), text.data(), text.size());
  std::memset(padded.get() + text.size(), 0, kJsonPadding);
  return ReadIndexJsonInPlace(padded.get(), text.size());
}

}  // namespace velmar::memory
