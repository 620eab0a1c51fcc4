#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/memory_pages.hpp"
#include "memory/entry.hpp"
#include "memory/store/stored_entry.hpp"

namespace velmar::memory {

// The index file text of `entries`: one compact JSON array of objects with
// the thirteen keys in declaration order.
std::string WriteIndexJson(const std::vector<MetadataEntry>& entries);

class MetadataStore;
// The same text for every entry of `store`, in entry_map iteration order,
// written straight from the store shard by shard (each under its read lock)
// instead of from a copy of every entry: equal to
// WriteIndexJson(store.Snapshot()) when nothing is inserted meanwhile.
std::string WriteStoreJson(const MetadataStore& store);

// The keys beyond the thirteen that reading met in the file's entries,
// which it ignores with their values: the first kNamed of them, each once.
// The reading threads add to it at once.
class IgnoredKeys {
 public:
  static constexpr size_t kNamed = 16;

  void Add(const std::vector<std::string_view>& keys);
  // The keys, in the order first added.
  const std::vector<std::string>& Names() const { return names_; }
  // Whether there were more than kNamed.
  bool More() const { return more_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> names_;
  bool more_ = false;
};

// Parses index file text: every entry, or an Error saying what is wrong in
// words that follow "the file ..." (syntax, types, ranges, missing or
// repeated keys, nesting deeper than 128).
// Valid JSON in the value of a key the reader ignores never makes the text
// unreadable, whatever numbers or strings it holds; an integer created_at
// beyond 64 bits is read as the nearest double.
Result<std::vector<MetadataEntry>> ReadIndexJson(std::string_view text);

// Bytes that ReadIndexJsonInPlace may read past the end of its text.
inline constexpr size_t kJsonPadding = 64;

// ReadIndexJson for the `size` bytes at `text`, which are followed in memory
// by kJsonPadding readable bytes (zeros, say), and which it may rewrite
// while it works: a large text is read in small pieces of whole entries on
// two threads when it can be cut between entries, else parsed where it is
// instead of copied (in two pieces at once when it can be cut near its
// middle), and in pieces one after another when it is larger than the
// parser takes at once. The
// text is as it was when this returns. The entries come in the store's
// form, their texts pooled in `pool` (which, on failure, may keep texts of
// entries read before the error).
// The keys beyond the thirteen go to `ignored`, when given (from a failed
// attempt too).
Result<StoredPieces> ReadIndexJsonInPlace(char* text, size_t size, TextPool& pool,
                                          IgnoredKeys* ignored = nullptr);

// The entries of the index file open as `fd`, `size` bytes long, read the
// quick way for a large file: in small pieces of whole entries on two
// threads, each piece read from the file straight into its thread's buffer,
// so that the file is never held whole. nullopt when the file is small or
// cannot be read that way (it is not a compact array of entries, a piece
// does not parse, the read fails): the caller then reads it whole with
// ReadIndexJsonInPlace, which also finds out why. The pool may keep texts
// of a failed attempt.
std::optional<StoredPieces> ReadIndexFileInPieces(int fd, size_t size, TextPool& pool,
                                                  IgnoredKeys* ignored = nullptr);

// Lowers the size above which a text is read in pieces (normally the
// parser's limit, 4 GiB), so that tests can exercise the pieces with small
// texts. 0 restores the normal limit.
void SetJsonPieceLimitForTesting(size_t bytes);
// Sets the size of the small pieces a large text is read in; 0 restores it.
void SetJsonStreamPieceForTesting(size_t bytes);

}  // namespace velmar::memory
