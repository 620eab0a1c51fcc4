#include <sys/mman.h>


#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "common/fs.hpp"
#include "common/memory_pages.hpp"
#include "common/run_in_halves.hpp"
#include "common/worker_pool.hpp"
#include "memory/json/entry_reader.hpp"
#include "memory/json/index_json.hpp"
#include "memory/json/mender.hpp"

namespace velmar::memory {

namespace {

// The largest text simdjson parses in one go; tests lower it.
size_t g_piece_limit = simdjson::SIMDJSON_MAXSIZE_BYTES;

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
  std::optional<StoredPieces> entries;
  bool mendable = false;  // failed on an error that Mend may remove
  // The parser's error; SUCCESS when the text parsed but an element was not
  // an entry (or a piece could not be cut).
  simdjson::error_code error = simdjson::SUCCESS;
};

Attempt OnePiece(std::optional<std::vector<StoredEntry>> entries) {
  Attempt a;
  if (entries) a.entries.emplace().push_back(std::move(*entries));
  return a;
}

Attempt FailedAttempt(simdjson::error_code error) {
  Attempt a;
  a.mendable = MayMend(error);
  a.error = error;
  return a;
}

// Why text that failed with `error` is not an index file, in words that
// follow "the file ...".
Error Unreadable(simdjson::error_code error, const char* text, size_t size) {
  std::string_view rest(text, size);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\n' || rest.back() == '\r' ||
                           rest.back() == '\t')) {
    rest.remove_suffix(1);
  }
  switch (error) {
    case simdjson::SUCCESS:
      return Error{"holds something that is not an index entry", {}};
    case simdjson::INCORRECT_TYPE:
      return Error{"is not a JSON array", {}};
    case simdjson::UTF8_ERROR:
      return Error{"is not UTF-8 text", {}};
    case simdjson::DEPTH_ERROR:
      return Error{"nests arrays and objects deeper than 128 levels", {}};
    case simdjson::MEMALLOC:
      return Error{"needs more memory than there is", std::make_error_code(std::errc::not_enough_memory)};
    default:
      break;
  }
  // A save cut short (a full disk, a killed process) leaves the array open.
  if (rest.starts_with('[') && !rest.ends_with(']')) return Error{"ends in the middle of an entry", {}};
  return Error{std::string("is not valid JSON (").append(simdjson::error_message(error)).append(")"), {}};
}

// Whether reading `size` bytes pays for a second thread.
bool TwoThreadsFor(size_t size) {
  return size >= (size_t{8} << 20) && velmar::AvailableProcessors() >= 2;
}

Attempt ReadInPieces(char* text, size_t size, size_t limit, TextPool& pool,
                     IgnoredKeys* ignored) {
  constexpr int kRetries = 4;
  StoredPieces all;
  size_t from = 0;  // the piece's `[` or comma
  for (;;) {
    const bool last = size - from <= limit;
    size_t to = last ? size : LastCut(text, from, std::min(from + limit - 1, size - 4));
    for (int retry = 0;; ++retry) {
      if (to == 0) return FailedAttempt(simdjson::TAPE_ERROR);
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
        std::optional<std::vector<StoredEntry>> entries =
            ReadArrays(array, nullptr, TwoThreadsFor(piece), pool, ignored);
        if (!entries) return Attempt{};
        all.push_back(std::move(*entries));
        break;
      }
      if (MayMend(error)) return FailedAttempt(error);
      if (last || retry == kRetries) return FailedAttempt(error);
      to = LastCut(text, from, to - 1);
    }
    if (last) return Attempt{std::move(all)};
    from = to;
  }
}

Attempt ReadWhole(char* text, size_t size, bool two_threads, TextPool& pool,
                  IgnoredKeys* ignored) {
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
      if (!parsed[1]) return FailedAttempt(errors[1]);
      return OnePiece(ReadArrays(arrays[0], &arrays[1], true, pool, ignored));
    }
    if (MayMend(errors[0])) return FailedAttempt(errors[0]);
    // Not a cut between two entries after all: parse the text whole.
  }
  simdjson::dom::parser parser;
  simdjson::dom::array top;
  simdjson::error_code error = simdjson::SUCCESS;
  if (!ParseArray(parser, text, size, top, &error)) return FailedAttempt(error);
  return OnePiece(ReadArrays(top, nullptr, two_threads, pool, ignored));
}

// A large text is first read in small pieces of whole entries, each
// copied (from memory, or from the file with pread) behind a `[` and before
// a `]` into a buffer of its thread's and parsed there by a parser the
// thread keeps. Parsing the text whole needs buffers about twice its size,
// fresh memory that the system must clear page by page, which cost more
// than the parse itself; the pieces' buffers are a few megabytes, touched
// again and again, and a file read this way is never held whole. The
// pieces run from one `},{"` comma to the next (as in ReadInPieces); the
// two threads take every other piece. Each piece that parses ends at a
// comma between two entries, given that it starts at one, so when every
// piece parses the text is the array of their entries. Anything else (a
// piece that does not parse, an element that is not an entry, text without
// such commas near where a piece should end) gives up, and the whole text
// is read the careful way, which finds out why.
constexpr size_t kStreamPiece = size_t{4} << 20;
size_t g_stream_piece = kStreamPiece;  // tests lower it

// Copies bytes [from, from + n) of the text to `out`; false when it cannot.
using Fetch = std::function<bool(size_t from, size_t n, char* out)>;

// LastCut(text, from, to) for a text that is fetched: only the bytes up to
// 64 KiB before `to` are looked at, which holds many entries of a file
// the store wrote. 0 when none is there.
size_t LastCutFetched(const Fetch& fetch, size_t size, size_t from, size_t to,
                      std::vector<char>& window) {
  constexpr size_t kWindow = size_t{64} << 10;
  const size_t lo = std::max(from, to > kWindow ? to - kWindow : 0);
  const size_t end = std::min(to + 3, size);  // LastCut reads up to text[to + 2]
  window.assign(to + 3 - lo, '\0');
  if (!fetch(lo, end - lo, window.data())) return 0;
  // From `lo` on when it is past `from`: a cut in its first two bytes is
  // missed, which only costs a fallback.
  const size_t cut = LastCut(window.data(), 0, to - lo);
  return cut == 0 ? 0 : lo + cut;
}

std::optional<StoredPieces> ReadStreamed(const Fetch& fetch, size_t size, TextPool& pool,
                                         IgnoredKeys* ignored) {
  const size_t piece = g_stream_piece;
  std::vector<char> window(std::min<size_t>(size, 64));
  if (!fetch(0, window.size(), window.data())) return std::nullopt;
  size_t first = 0;
  while (first < window.size() && (window[first] == ' ' || window[first] == '\n' ||
                                   window[first] == '\r' || window[first] == '\t')) {
    ++first;
  }
  if (first == window.size() || window[first] != '[') return std::nullopt;
  std::vector<size_t> cuts{first};  // each piece's `[` or comma
  while (size - cuts.back() > piece) {
    const size_t cut = LastCutFetched(fetch, size, cuts.back(), cuts.back() + piece - 1, window);
    if (cut == 0) return std::nullopt;
    cuts.push_back(cut);
  }
  const size_t pieces = cuts.size();
  cuts.push_back(size);

  StoredPieces read(pieces);
  std::atomic<bool> failed = false;
  RunInHalves(TwoThreadsFor(size), [&](int half) {
    // One allocation of the parser's buffers for every piece of the thread.
    simdjson::dom::parser parser;
    if (parser.allocate(piece + 2, 128)) {
      failed = true;
      return;
    }
    std::unique_ptr<char[]> buffer(new char[piece + 2 + simdjson::SIMDJSON_PADDING]);
    TextPool::Memo memo(pool);
    for (size_t k = static_cast<size_t>(half); k < pieces && !failed; k += 2) {
      // `[`, the bytes between the two commas, and `]` for all but the
      // last piece, which ends as the text does.
      const bool last = k + 1 == pieces;
      const size_t body = cuts[k + 1] - cuts[k] - 1;
      size_t length = 0;
      buffer[length++] = '[';
      if (!fetch(cuts[k] + 1, body, buffer.get() + length)) {
        failed = true;
        break;
      }
      length += body;
      if (!last) buffer[length++] = ']';
      std::memset(buffer.get() + length, 0, simdjson::SIMDJSON_PADDING);
      simdjson::dom::array array;
      if (parser.parse(buffer.get(), length, /*realloc_if_needed=*/false).get_array().get(array)) {
        failed = true;
        break;
      }
      std::vector<StoredEntry>& entries = read[k];
      entries.resize(array.size());
      if (!ReadEntries(array, 0, entries.size(), memo, entries.data(), ignored)) failed = true;
    }
  });
  if (failed) return std::nullopt;
  return read;
}

Attempt ReadIndexText(char* text, size_t size, TextPool& pool, IgnoredKeys* ignored) {
  const size_t limit = std::max<size_t>(g_piece_limit, 16);
  // The parser needs about twice its text in buffers of its own; pieces of
  // 1 GiB keep that small beside a text of many gigabytes.
  if (size > limit) {
    return ReadInPieces(text, size, std::min(limit, size_t{1} << 30), pool, ignored);
  }
  if (size >= 4 * g_stream_piece) {
    auto copy = [text](size_t from, size_t n, char* out) {
      std::memcpy(out, text + from, n);
      return true;
    };
    if (std::optional<StoredPieces> entries = ReadStreamed(copy, size, pool, ignored)) {
      return Attempt{std::move(entries)};
    }
  }
  return ReadWhole(text, size, TwoThreadsFor(size), pool, ignored);
}

}  // namespace

void SetJsonPieceLimitForTesting(size_t bytes) {
  g_piece_limit = bytes == 0 ? simdjson::SIMDJSON_MAXSIZE_BYTES : bytes;
}

void SetJsonStreamPieceForTesting(size_t bytes) {
  g_stream_piece = bytes == 0 ? kStreamPiece : bytes;
}

std::optional<StoredPieces> ReadIndexFileInPieces(int fd, size_t size, TextPool& pool,
                                                  IgnoredKeys* ignored) {
  if (size < 4 * g_stream_piece) return std::nullopt;
  return ReadStreamed(
      [fd](size_t from, size_t n, char* out) { return velmar::ReadAt(fd, out, n, from); }, size,
      pool, ignored);
}

Result<StoredPieces> ReadIndexJsonInPlace(char* text, size_t size, TextPool& pool,
                                          IgnoredKeys* ignored) {
  static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);
  if (size == 0) return std::unexpected(Error{"is empty", {}});
  // A byte-order mark is not JSON whitespace; the file must start with the
  // array (simdjson agrees, but say so here rather than rely on it).
  if (std::string_view(text, size).starts_with("\xEF\xBB\xBF")) {
    return std::unexpected(Error{"starts with a byte-order mark", {}});
  }
  Attempt attempt = ReadIndexText(text, size, pool, ignored);
  if (!attempt.entries && attempt.mendable) {
    // Valid JSON that simdjson refuses, perhaps: mend it and read it again.
    Undo undo;
    try {
      Mend(text, size, &undo);
      if (!undo.empty()) attempt = ReadIndexText(text, size, pool, ignored);
    } catch (...) {
      Restore(text, undo);
      throw;
    }
    Restore(text, undo);
  }
  if (!attempt.entries) return std::unexpected(Unreadable(attempt.error, text, size));
  return std::move(*attempt.entries);
}

Result<std::vector<MetadataEntry>> ReadIndexJson(std::string_view text) {
  // simdjson reads up to SIMDJSON_PADDING bytes past the end of the text.
  std::unique_ptr<char[]> padded(new char[text.size() + kJsonPadding]);
  AdviseHugePages(padded.get(), text.size());
  std::memcpy(padded.get(), text.data(), text.size());
  std::memset(padded.get() + text.size(), 0, kJsonPadding);
  TextPool pool;
  Result<StoredPieces> stored = ReadIndexJsonInPlace(padded.get(), text.size(), pool);
  if (!stored) return std::unexpected(std::move(stored.error()));
  std::vector<MetadataEntry> entries;
  for (const auto& piece : *stored) {
    for (const StoredEntry& e : piece) entries.push_back(ToEntry(e));
  }
  return entries;
}

}  // namespace velmar::memory
