#include "memory/json/mender.hpp"

#include "memory/json/entry_reader.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <string>
#include <string_view>

namespace velmar::memory {

namespace {

// Walks the text once, as a JSON reader would, rewriting as Mend says.
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

}  // namespace

void Mend(char* text, size_t size, Undo* undo) { Mender(text, size, undo).Run(); }

void Restore(char* text, const Undo& undo) {
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    std::memcpy(text + it->first, it->second.data(), it->second.size());
  }
}

}  // namespace velmar::memory
