// Covers: src/memory/json/writer.cpp, entry_reader.cpp, pieces.cpp.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "memory/json/index_json.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {
namespace {

MetadataEntry Sample() {
  MetadataEntry e;
  e.memory_id = "m1";
  e.user_id = "u";
  e.memory_type = "note";
  e.subjects = {"work", ""};
  e.keywords = {"k"};
  e.tags = {"t1", "t2"};
  e.importance = 255;
  e.confidence = 0;
  e.created_at = 5.0;
  e.access_count = 4294967295u;
  e.content_preview = "hi";
  return e;
}

std::string WriteOne(const MetadataEntry& e) { return WriteIndexJson({e}); }

// The created_at member of a one-entry file.
std::string CreatedAtText(double v) {
  MetadataEntry e;
  e.memory_id = "x";
  e.created_at = v;
  std::string json = WriteOne(e);
  const std::string key = "\"created_at\":";
  size_t start = json.find(key) + key.size();
  return json.substr(start, json.find(',', start) - start);
}

TEST(JsonWrite, CompactWithKeysInDeclarationOrder) {
  EXPECT_EQ(WriteIndexJson({}), "[]");
  EXPECT_EQ(WriteOne(Sample()),
            "[{\"memory_id\":\"m1\",\"user_id\":\"u\",\"memory_type\":\"note\","
            "\"subjects\":[\"work\",\"\"],\"objects\":[],\"keywords\":[\"k\"],"
            "\"tags\":[\"t1\",\"t2\"],\"importance\":255,\"confidence\":0,\"created_at\":5.0,"
            "\"access_count\":4294967295,\"chat_id\":null,\"content_preview\":\"hi\"}]");
  MetadataEntry a = Sample(), b = Sample();
  b.memory_id = "m2";
  std::string two = WriteIndexJson({a, b});
  EXPECT_EQ(two, "[" + WriteOne(a).substr(1, WriteOne(a).size() - 2) + "," +
                     WriteOne(b).substr(1, WriteOne(b).size() - 2) + "]");
}

TEST(JsonWrite, Escaping) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"\x0b\x1e", "\"\\u000b\\u001e\""},
      {"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", "\"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Long runs go through the 16-byte path; specials at every offset.
      {std::string(40, 'x') + "\"" + std::string(15, 'y') + "\n",
       "\"" + std::string(40, 'x') + "\\\"" + std::string(15, 'y') + "\\n\""},
      {std::string(33, '\x02'), "\"" + [] {
         std::string s;
         for (int i = 0; i < 33; ++i) s += "\\u0002";
         return s;
       }() + "\""},
  };
  for (const Case& c : cases) {
    MetadataEntry e;
    e.memory_id = c.in;
    std::string json = WriteOne(e);
    std::string prefix = "[{\"memory_id\":";
    ASSERT_EQ(json.substr(0, prefix.size()), prefix);
    EXPECT_EQ(json.substr(prefix.size(), c.out.size()), c.out);
    EXPECT_EQ(json.substr(prefix.size() + c.out.size(), 11), ",\"user_id\":");
  }
}

TEST(JsonWrite, CreatedAtLayouts) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {5.0, "5.0"},
      {0.1, "0.1"},
      {1e16, "1e16"},
      {1e-7, "1e-7"},
      {1.5e300, "1.5e300"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1700000000.123456, "1700000000.123456"},
      {1700000000.0, "1700000000.0"},
      {1700000000.25, "1700000000.25"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {12345678901234567.0, "1.2345678901234568e16"},
      {0.001234, "0.001234"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1.234e20, "1.234e20"},
      {-2.5, "-2.5"},
      {-1e-7, "-1e-7"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(CreatedAtText(c.v), c.text) << c.v;
}

TEST(JsonRead, ObjectAndPositionalForms) {
  MetadataEntry want = Sample();
  auto read = ReadIndexJson(WriteOne(want));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 1u);
  EXPECT_EQ((*read)[0], want);

  // Any key order, unknown keys ignored, whitespace between tokens, a
  // missing or null optional, integer created_at, escapes decoded.
  auto other = ReadIndexJson(
      " [ {\"tags\":[\"t\"],\"extra\":{\"deep\":[[[1,{\"a\":null}]]]},\"access_count\":7,"
      "\"created_at\":12,\"confidence\":1,\"importance\":3,\"keywords\":[],\"objects\":[\"o\"],"
      "\"subjects\":[],\"memory_type\":\"\",\"user_id\":\"\\u00e9\\ud83d\\ude00\\n\","
      "\"memory_id\":\"a\\/b\",\"content_preview\":null} ,\n"
      "[\"p\",\"u\",\"t\",[\"s\"],[],[],[],0,255,-1.5e-3,0,\"c\",null] ]\t\n");
  ASSERT_TRUE(other);
  ASSERT_EQ(other->size(), 2u);
  const MetadataEntry& o = (*other)[0];
  EXPECT_EQ(o.memory_id, "a/b");
  EXPECT_EQ(o.user_id, "\xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_EQ(o.objects, std::vector<std::string>{"o"});
  EXPECT_EQ(o.tags, std::vector<std::string>{"t"});
  EXPECT_EQ(o.importance, 3);
  EXPECT_EQ(o.confidence, 1);
  EXPECT_EQ(o.created_at, 12.0);
  EXPECT_EQ(o.access_count, 7u);
  EXPECT_FALSE(o.chat_id);
  EXPECT_FALSE(o.content_preview);
  const MetadataEntry& p = (*other)[1];
  EXPECT_EQ(p.memory_id, "p");
  EXPECT_EQ(p.subjects, std::vector<std::string>{"s"});
  EXPECT_EQ(p.confidence, 255);
  EXPECT_EQ(p.created_at, -1.5e-3);
  EXPECT_EQ(p.chat_id, std::optional<std::string>("c"));

  // Entries are read one after another through the same buffers: an
  // optional text one leaves out is absent, not the one before's.
  MetadataEntry bare;
  bare.memory_id = "bare";
  want.chat_id = "c";
  auto pair = ReadIndexJson("[" + WriteOne(want).substr(1, WriteOne(want).size() - 2) +
                            ",{\"memory_id\":\"bare\",\"user_id\":\"\",\"memory_type\":\"\","
                            "\"subjects\":[],\"objects\":[],\"keywords\":[],\"tags\":[],"
                            "\"importance\":2,\"confidence\":2,\"access_count\":0,\"created_at\":0}]");
  ASSERT_TRUE(pair);
  ASSERT_EQ(pair->size(), 2u);
  EXPECT_EQ((*pair)[0], want);
  EXPECT_EQ((*pair)[1], bare);

  auto empty = ReadIndexJson(" \n[ ]\r\n");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

// An object entry with one member replaced (or added, or removed when
// `value` is empty).
std::string ObjectWith(const std::string& key, const std::string& value) {
  std::vector<std::pair<std::string, std::string>> members = {
      {"memory_id", "\"m\""},  {"user_id", "\"u\""},    {"memory_type", "\"t\""},
      {"subjects", "[]"},      {"objects", "[]"},       {"keywords", "[]"},
      {"tags", "[]"},          {"importance", "2"},     {"confidence", "2"},
      {"created_at", "1.5"},   {"access_count", "0"},   {"chat_id", "null"},
      {"content_preview", "null"}};
  std::string out = "[{";
  bool found = false;
  for (auto& [k, v] : members) {
    if (k == key) {
      found = true;
      if (value.empty()) continue;
      v = value;
    }
    if (out.size() > 2) out += ",";
    out += "\"" + k + "\":" + v;
  }
  if (!found) out += ",\"" + key + "\":" + value;
  return out + "}]";
}

TEST(JsonRead, ObjectFieldRules) {
  struct Case {
    std::string key, value;
    bool ok;
  };
  const Case cases[] = {
      {"memory_id", "\"\"", true},  // the file may hold an empty identifier
      {"importance", "255", true},
      {"importance", "256", false},
      {"importance", "-1", false},
      {"importance", "1.5", false},
      {"importance", "1e2", false},
      {"importance", "2.0", false},
      {"importance", "\"2\"", false},
      {"confidence", "null", false},
      {"access_count", "4294967295", true},
      {"access_count", "4294967296", false},
      {"access_count", "18446744073709551615", false},
      {"access_count", "", false},  // missing
      {"created_at", "-7", true},
      {"created_at", "18446744073709551615", true},
      {"created_at", "1e300", true},
      {"created_at", "null", false},
      {"created_at", "\"5\"", false},
      {"created_at", "", false},
      {"memory_id", "", false},
      {"memory_id", "5", false},
      {"user_id", "null", false},
      {"tags", "\"t\"", false},
      {"tags", "[\"a\",1]", false},
      {"tags", "[[\"a\"]]", false},
      {"subjects", "null", false},
      {"chat_id", "", true},
      {"chat_id", "5", false},
      {"content_preview", "[]", false},
      {"unknown", "{\"x\":[1,2,{}]}", true},
  };
  for (const Case& c : cases) {
    std::string text = ObjectWith(c.key, c.value);
    EXPECT_EQ(ReadIndexJson(text).has_value(), c.ok) << text;
  }
}

TEST(JsonRead, RejectsBadDocuments) {
  const std::string good = ObjectWith("memory_id", "\"m\"");
  const std::string body = good.substr(1, good.size() - 2);  // the object
  const std::string positional = "[\"p\",\"u\",\"t\",[],[],[],[],0,0,0,0,null,null]";
  ASSERT_TRUE(ReadIndexJson(good));
  ASSERT_TRUE(ReadIndexJson("[" + positional + "]"));
  std::string deep_ok = "[" + body.substr(0, body.size() - 1) + ",\"x\":" +
                        std::string(126, '[') + std::string(126, ']') + "}]";
  ASSERT_TRUE(ReadIndexJson(deep_ok));  // 128 levels in all

  const std::vector<std::string> bad = {
      "",
      "   ",
      "{}",
      "null",
      "[1]",
      "[\"m\"]",
      "[null]",
      good + "x",
      good + "]",
      good + " []",
      "\xEF\xBB\xBF" + good,
      "[" + body + ",]",
      "[" + body,
      // a key given twice, known or not
      "[" + body.substr(0, body.size() - 1) + ",\"tags\":[]}]",
      "[" + body.substr(0, body.size() - 1) + ",\"x\":1,\"x\":1}]",
      "[" + body.substr(0, body.size() - 1) + ",\"memory_id\":\"m\"}]",
      // positional lengths
      "[[\"p\",\"u\",\"t\",[],[],[],[],0,0,0,0,null]]",
      "[[\"p\",\"u\",\"t\",[],[],[],[],0,0,0,0,null,null,null]]",
      "[[\"p\",\"u\",\"t\",[],[],[],[],0,0,null,0,null,null]]",
      "[[\"p\",\"u\",\"t\",[],[],[],[],1.0,0,0,0,null,null]]",
      // 129 levels
      "[" + body.substr(0, body.size() - 1) + ",\"x\":" + std::string(127, '[') +
          std::string(127, ']') + "}]",
      // UTF-8 and string syntax
      ObjectWith("user_id", "\"\xff\""),
      ObjectWith("user_id", "\"\xc3\""),
      ObjectWith("user_id", "\"\xed\xa0\x80\""),  // encoded surrogate
      ObjectWith("user_id", "\"\\ud800\""),
      ObjectWith("user_id", "\"\\udc00x\""),
      ObjectWith("user_id", "\"a\x01\""),
      ObjectWith("user_id", "\"\\x\""),
      ObjectWith("created_at", "1e400"),
      ObjectWith("created_at", "NaN"),
      ObjectWith("created_at", "01"),
  };
  for (const std::string& text : bad) EXPECT_FALSE(ReadIndexJson(text)) << text;
  // One bad entry spoils the whole text.
  EXPECT_FALSE(ReadIndexJson("[" + body + "," + ObjectWith("importance", "300").substr(1)));
}

// Random text: every code point class, controls and the characters that
// need escaping weighted up.
std::string RandomText(std::mt19937_64& rng) {
  std::string s;
  size_t len = rng() % 24;
  if (rng() % 16 == 0) len += 200;
  for (size_t i = 0; i < len; ++i) {
    uint32_t cp;
    switch (rng() % 6) {
      case 0: cp = static_cast<uint32_t>(rng() % 0x20); break;
      case 1: cp = "\"\\/ azAZ"[rng() % 8]; break;
      case 2: cp = 0x20 + static_cast<uint32_t>(rng() % 0x60); break;
      case 3: cp = 0x80 + static_cast<uint32_t>(rng() % 0x780); break;
      case 4:
        cp = 0x800 + static_cast<uint32_t>(rng() % 0xf800);
        if (cp >= 0xd800 && cp < 0xe000) cp = 0xfffd;
        break;
      default: cp = 0x10000 + static_cast<uint32_t>(rng() % 0x100000); break;
    }
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xc0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xe0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
      s += static_cast<char>(0xf0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
      s += static_cast<char>(0x80 | (cp & 0x3f));
    }
  }
  return s;
}

double RandomDouble(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: {
      // any finite bit pattern: subnormals, extremes, negative zero
      for (;;) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) return d;
      }
    }
    case 1: return static_cast<double>(rng() % 4000000000ull) + (rng() % 1000000) / 1e6;
    case 2: return static_cast<double>(static_cast<int64_t>(rng()));
    case 3: {
      const double specials[] = {0.0, -0.0, 5e-324, 1.7976931348623157e308, 1e16, 1e-7, 0.1};
      return specials[rng() % 7];
    }
    default: return std::ldexp(static_cast<double>(rng() % 1000), static_cast<int>(rng() % 200) - 100);
  }
}

TEST(JsonRoundTrip, RandomEntries) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 50; ++round) {
    std::vector<MetadataEntry> entries(rng() % 40);
    for (MetadataEntry& e : entries) {
      e.memory_id = RandomText(rng);
      e.user_id = RandomText(rng);
      e.memory_type = RandomText(rng);
      for (auto* list : {&e.subjects, &e.objects, &e.keywords, &e.tags}) {
        size_t n = rng() % 4;
        for (size_t i = 0; i < n; ++i) list->push_back(RandomText(rng));
      }
      e.importance = static_cast<uint8_t>(rng());
      e.confidence = static_cast<uint8_t>(rng());
      e.created_at = RandomDouble(rng);
      e.access_count = static_cast<uint32_t>(rng());
      if (rng() % 2) e.chat_id = RandomText(rng);
      if (rng() % 2) e.content_preview = RandomText(rng);
    }
    std::string text = WriteIndexJson(entries);
    auto back = ReadIndexJson(text);
    ASSERT_TRUE(back) << text;
    ASSERT_EQ(back->size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ((*back)[i], entries[i]) << i;
      // -0.0 == 0.0; the sign must survive as well
      EXPECT_EQ(std::signbit((*back)[i].created_at), std::signbit(entries[i].created_at));
    }
    EXPECT_EQ(WriteIndexJson(*back), text);
  }
}

TEST(JsonWrite, StraightFromTheStoreEqualsTheSnapshotText) {
  MetadataStore store;
  EXPECT_EQ(WriteStoreJson(store), "[]");
  std::mt19937_64 rng(5);
  for (int i = 0; i < 500; ++i) {
    MetadataEntry e = Sample();
    e.memory_id = RandomText(rng) + "#" + std::to_string(i % 300);
    e.created_at = RandomDouble(rng);
    store.Insert(e);
  }
  std::string text = WriteStoreJson(store);
  EXPECT_EQ(text, WriteIndexJson(store.Snapshot()));
  auto back = ReadIndexJson(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), store.CountKeys().entries);
}

}  // namespace
}  // namespace velmar::memory

namespace velmar::memory {
namespace {

// Reads `text` in place from a padded copy, and checks that the copy is as
// it was afterwards (reading may rewrite it while it works).
Result<std::vector<MetadataEntry>> ReadInPlace(const std::string& text) {
  std::string buffer = text;
  buffer.append(kJsonPadding, '\0');
  TextPool pool;
  auto stored = ReadIndexJsonInPlace(buffer.data(), text.size(), pool);
  EXPECT_EQ(buffer.substr(0, text.size()), text) << "text not restored";
  if (!stored) return std::unexpected(std::move(stored.error()));
  std::vector<MetadataEntry> entries;
  for (const auto& piece : *stored) {
    for (const StoredEntry& e : piece) entries.push_back(ToEntry(e));
  }
  return entries;
}

// Whatever JSON an ignored key holds, the file reads: simdjson alone refuses
// numbers beyond 64 bits or a double, and lone surrogate escapes.
TEST(JsonRead, IgnoredValuesAreSkippedWhateverTheyHold) {
  const std::string deep_bad = std::string(127, '[') + "1e400" + std::string(127, ']');
  struct Case {
    std::string key, value;
    bool ok;
  };
  const Case cases[] = {
      {"extra", "1e400", true},
      {"extra", "-1E+400", true},
      {"extra", "123456789012345678901234567890", true},
      {"extra", "-123456789012345678901234567890.5e3", true},
      {"extra", "\"\\ud800\"", true},
      {"extra", "\"\\udc00x\\uD800\\ud83d\\ude00\"", true},
      {"extra", "{\"a\":[1e999,\"\\udfff\",{\"\\ud800\":-1e400}],\"b\":true}", true},
      {"\\ud800", "1e400", true},
      {"\\u0078", "1e400", true},  // an escaped unknown key
      // still errors: bad syntax, depth, a known field
      {"extra", "1.e5", false},
      {"extra", "01", false},
      {"extra", "[1e400,]", false},
      {"extra", "\"\\x\"", false},
      {"extra", "\"\\ud800", false},
      {"extra", deep_bad, false},
      {"tags", "[\"\\ud800\"]", false},
      {"importance", "123456789012345678901234567890", false},
      {"access_count", "1e400", false},
  };
  for (const Case& c : cases) {
    const std::string text = ObjectWith(c.key, c.value);
    auto read = ReadInPlace(text);
    ASSERT_EQ(read.has_value(), c.ok) << text;
    if (c.ok) {
      ASSERT_EQ(read->size(), 1u);
      EXPECT_EQ((*read)[0].memory_id, "m");
      EXPECT_EQ((*read)[0].created_at, 1.5);
    }
  }
  // An error elsewhere still spoils the text that needed mending.
  const std::string body = ObjectWith("extra", "1e400");
  EXPECT_FALSE(ReadInPlace(body.substr(0, body.size() - 1) + "," +
                           ObjectWith("importance", "300").substr(1)));
}

TEST(JsonRead, CreatedAtBeyond64BitsReadsAsTheNearestDouble) {
  const std::string largest = "17976931348623157" + std::string(292, '0');  // about DBL_MAX
  const std::string numbers[] = {
      "123456789012345678901234567890", "-123456789012345678901234567890",
      "18446744073709551616",           "99999999999999999999",
      "-9223372036854775809",           largest};
  for (const std::string& n : numbers) {
    const double want = std::strtod(n.c_str(), nullptr);
    auto read = ReadInPlace(ObjectWith("created_at", n));
    ASSERT_TRUE(read) << n;
    EXPECT_EQ((*read)[0].created_at, want) << n;
    auto positional =
        ReadInPlace(std::string("[[\"p\",\"u\",\"t\",[],[],[],[],0,0,") + n + ",0,null,null]]");
    ASSERT_TRUE(positional) << n;
    EXPECT_EQ((*positional)[0].created_at, want) << n;
  }
  // Beyond the largest double there is no nearest one.
  EXPECT_FALSE(ReadInPlace(ObjectWith("created_at", "1" + std::string(400, '0'))));
}

// Large texts are read in pieces: small pieces on two threads, and texts
// over the parser's limit (4 GiB) one piece after another. The sizes are
// lowered here so that small texts take each path.
class JsonPieces : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      SetJsonStreamPieceForTesting(2048);
    } else {
      SetJsonPieceLimitForTesting(4096);
    }
  }
  void TearDown() override {
    SetJsonStreamPieceForTesting(0);
    SetJsonPieceLimitForTesting(0);
  }
};

INSTANTIATE_TEST_SUITE_P(SmallPiecesOrOverTheLimit, JsonPieces, testing::Bool());

// The quick read of a file: its entries, or nullopt when it leaves the
// file to the careful read.
std::optional<std::vector<MetadataEntry>> ReadFileInPieces(const std::string& text) {
  const std::string path = ::testing::TempDir() + "/velmar_pieces_test.json";
  FILE* f = fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return std::nullopt;
  EXPECT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
  fclose(f);
  const int fd = ::open(path.c_str(), O_RDONLY);
  TextPool pool;
  std::optional<StoredPieces> stored = ReadIndexFileInPieces(fd, text.size(), pool);
  ::close(fd);
  std::remove(path.c_str());
  if (!stored) return std::nullopt;
  std::vector<MetadataEntry> entries;
  for (const auto& piece : *stored) {
    for (const StoredEntry& e : piece) entries.push_back(ToEntry(e));
  }
  return entries;
}

TEST_P(JsonPieces, LargeTextsReadAsAWhole) {
  std::vector<MetadataEntry> entries;
  for (int i = 0; i < 400; ++i) {
    MetadataEntry e = Sample();
    e.memory_id = std::to_string(i);
    e.content_preview = std::string(static_cast<size_t>(i % 37) * 20, 'x');
    e.created_at = i;
    entries.push_back(std::move(e));
  }
  const std::string all = WriteIndexJson(entries);
  ASSERT_GT(all.size(), 40000u);
  auto plain = ReadInPlace(all);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, entries);
  // A file in small pieces is read from the file piece by piece; anything
  // but a plain index is left to the careful read.
  const bool from_file = GetParam();
  if (from_file) {
    EXPECT_EQ(ReadFileInPieces(all), entries);
  }

  // Every entry with a nested value that looks like a cut between entries,
  // and a number that needs mending.
  std::string tricky = all;
  const std::string extra = "{\"extra\":[{\"a\":1},{\"b\":[1e400]}],";
  for (size_t at = tricky.find("{\"memory_id\""); at != std::string::npos;
       at = tricky.find("{\"memory_id\"", at + extra.size())) {
    tricky.replace(at, 1, extra);
  }
  auto read = ReadInPlace(tricky);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, entries);
  if (from_file) {
    EXPECT_EQ(ReadFileInPieces(tricky), std::nullopt);
  }

  // An error in any piece spoils the whole text.
  for (size_t at : {all.find("\"importance\":255", all.size() / 3),
                    all.rfind("\"importance\":255")}) {
    std::string bad = all;
    bad.replace(at, 16, "\"importance\":256");
    EXPECT_FALSE(ReadInPlace(bad)) << at;
    if (from_file) {
      EXPECT_EQ(ReadFileInPieces(bad), std::nullopt) << at;
    }
  }
  EXPECT_FALSE(ReadInPlace(all.substr(0, all.size() - 1)));
  if (from_file) {
    EXPECT_EQ(ReadFileInPieces(all.substr(0, all.size() - 1)), std::nullopt);
    EXPECT_EQ(ReadFileInPieces("  \n" + all), entries);
    EXPECT_EQ(ReadFileInPieces("{\"a\":" + all + "}"), std::nullopt);
  }
}

}  // namespace
}  // namespace velmar::memory
