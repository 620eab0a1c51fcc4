#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/memory_pages.hpp"
#include "memory/json/index_json.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {

namespace {

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

  // A string known to need no escaping, copied as it is.
  void PlainString(std::string_view s) {
    char* p = Room(s.size() + 2);
    *p++ = '"';
    std::memcpy(p, s.data(), s.size());
    p += s.size();
    *p++ = '"';
    Advance(p);
  }

  void Unsigned(uint64_t v) {
    char* p = Room(20);
    Advance(std::to_chars(p, p + 20, v).ptr);
  }

  void Double(double v);

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

// The key of each field with its punctuation: `"name":` after `,` (or after
// `{` for the first field), made from the field table at compile time.
struct KeyText {
  char text[24] = {};
  size_t size = 0;
  std::string_view view() const { return {text, size}; }
};

constexpr std::array<KeyText, kEntryFieldCount> kKeyTexts = [] {
  std::array<KeyText, kEntryFieldCount> keys{};
  for (int f = 0; f < kEntryFieldCount; ++f) {
    KeyText& k = keys[static_cast<size_t>(f)];
    auto put = [&k](char c) { k.text[k.size++] = c; };
    put(f == 0 ? '{' : ',');
    put('"');
    for (char c : kEntryFields[f].name) put(c);
    put('"');
    put(':');
  }
  return keys;
}();

// The values of one entry, as WriteFields reads them, from either form.
std::string_view TextOf(const OptionalText& t) { return t.view(); }
std::string_view TextOf(const std::optional<std::string>& s) { return *s; }
bool Present(const std::optional<std::string>& s) { return s.has_value(); }
bool Present(const OptionalText& t) { return t.has_value(); }

void WriteText(JsonWriter& w, const std::string& s) { w.String(s); }
void WriteText(JsonWriter& w, const PooledText* t) {
  if (t->json_plain) {
    w.PlainString(t->text);
  } else {
    w.String(t->text);
  }
}

template <class List>
void WriteList(JsonWriter& w, const List& items) {
  w.Char('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) w.Char(',');
    first = false;
    WriteText(w, item);
  }
  w.Char(']');
}

template <class Text>
void WriteOptional(JsonWriter& w, const Text& text) {
  if (Present(text)) {
    w.String(TextOf(text));
  } else {
    w.Raw("null");
  }
}

// An entry in the order of the field table, as the reader of positional
// entries expects; `memory_type` and the lists come from the caller, which
// knows which form it holds.
template <class E, class Text, class L>
void WriteFields(JsonWriter& w, const E& e, const Text& user_id, const Text& memory_type,
                 const L& subjects, const L& objects, const L& keywords, const L& tags,
                 bool first) {
  if (!first) w.Char(',');
  auto key = [&w](EntryField f) { w.Raw(kKeyTexts[static_cast<size_t>(f)].view()); };
  key(kMemoryId);
  w.String(e.memory_id);
  key(kUserId);
  WriteText(w, user_id);
  key(kMemoryType);
  WriteText(w, memory_type);
  key(kSubjects);
  WriteList(w, subjects);
  key(kObjects);
  WriteList(w, objects);
  key(kKeywords);
  WriteList(w, keywords);
  key(kTags);
  WriteList(w, tags);
  key(kImportance);
  w.Unsigned(e.importance);
  key(kConfidence);
  w.Unsigned(e.confidence);
  key(kCreatedAt);
  w.Double(e.created_at);
  key(kAccessCount);
  w.Unsigned(e.access_count);
  key(kChatId);
  WriteOptional(w, e.chat_id);
  key(kContentPreview);
  WriteOptional(w, e.content_preview);
  w.Char('}');
}

void WriteEntry(JsonWriter& w, const MetadataEntry& e, bool first) {
  WriteFields(w, e, e.user_id, e.memory_type, e.subjects, e.objects, e.keywords, e.tags, first);
}

void WriteEntry(JsonWriter& w, const StoredEntry& e, bool first) {
  WriteFields(w, e, e.user_id, e.memory_type, e.Subjects(), e.Objects(), e.Keywords(), e.Tags(),
              first);
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
      if (sample.size() < 64) sample.push_back(ToEntry(stored));
    });
  }
  size_t total = store.CountKeys().entries;
  size_t expected = sample.empty() ? 2 : ExpectedSize(sample) / sample.size() * total;
  JsonWriter w(expected + expected / 8);
  w.Char('[');
  bool first = true;
  for (size_t s = 0; s < store.ShardCount(); ++s) {
    store.VisitShard(s, [&](const StoredEntry& stored) {
      WriteEntry(w, stored, first);
      first = false;
    });
  }
  w.Char(']');
  return std::move(w).Finish();
}

}  // namespace velmar::memory
