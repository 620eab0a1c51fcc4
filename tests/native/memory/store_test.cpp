// Covers: src/memory/store/metadata_store.cpp, bulk_load.cpp, secondary_index.cpp, stored_entry.cpp, delete.cpp; src/memory/persistence.cpp; src/common/run_in_halves.cpp.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <bit>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "common/worker_pool.hpp"
#include "memory/store/id_list.hpp"
#include "memory/json/index_json.hpp"
#include "memory/lowercase.hpp"
#include "memory/persistence.hpp"
#include "memory/search.hpp"
#include "memory/store/sharded_map.hpp"
#include "memory/store/metadata_store.hpp"

namespace velmar::memory {
namespace {

using Ids = std::vector<std::string>;

// The lowercase forms of a stored list, in order.
Ids Lowers(TextSpan list) {
  Ids out;
  for (const PooledText* t : list) out.emplace_back(t->Lower());
  return out;
}

// prefix + n, built by appending (GCC 12 warns falsely on operator+ here).
std::string Key(const char* prefix, uint64_t n) {
  std::string s(prefix);
  s.append(std::to_string(n));
  return s;
}

MetadataEntry Entry(std::string id, std::string type, Ids subjects = {}, Ids keywords = {},
                    Ids tags = {}) {
  MetadataEntry e;
  e.memory_id = std::move(id);
  e.memory_type = std::move(type);
  e.subjects = std::move(subjects);
  e.keywords = std::move(keywords);
  e.tags = std::move(tags);
  return e;
}

TEST(Store, IndexesFollowTheEntries) {
  MetadataStore store;
  store.Insert(Entry("a", "note", {"work", "home"}, {"k"}, {"t1", "", "t1", "t2"}));
  store.Insert(Entry("b", "", {"work"}, {}, {"t2"}));
  EXPECT_EQ(store.TypeIds("note"), (Ids{"a"}));
  EXPECT_EQ(store.TypeIds(""), Ids{});
  EXPECT_EQ(store.SubjectIds("work"), (Ids{"a", "b"}));
  EXPECT_EQ(store.KeywordIds("k"), (Ids{"a"}));
  EXPECT_EQ(store.TagIds("t1"), (Ids{"a"}));  // listed once though repeated
  EXPECT_EQ(store.TagIds("t2"), (Ids{"a", "b"}));
  EXPECT_EQ(store.TagIds(""), Ids{});
  auto counts = store.CountKeys();
  EXPECT_EQ(counts.entries, 2u);
  EXPECT_EQ(counts.types, 1u);
  EXPECT_EQ(counts.subjects, 2u);
  EXPECT_EQ(counts.keywords, 1u);
  EXPECT_EQ(counts.tags, 2u);
}

TEST(Store, ReplacementMovesTheIdentifierAndKeepsEmptiedKeys) {
  MetadataStore store;
  store.Insert(Entry("a", "note", {"s"}, {}, {"x"}));
  store.Insert(Entry("b", "note"));
  store.Insert(Entry("a", "task", {"s"}));
  EXPECT_EQ(store.TypeIds("note"), (Ids{"b"}));
  EXPECT_EQ(store.TypeIds("task"), (Ids{"a"}));
  EXPECT_EQ(store.TagIds("x"), Ids{});
  store.Insert(Entry("b", "task"));
  EXPECT_EQ(store.TypeIds("task"), (Ids{"a", "b"}));
  store.Insert(Entry("a", "task"));
  EXPECT_EQ(store.TypeIds("task"), (Ids{"b", "a"}));

  auto dist = store.TypeDistribution();
  std::sort(dist.begin(), dist.end());
  EXPECT_EQ(dist, (std::vector<std::pair<std::string, size_t>>{{"note", 0}, {"task", 2}}));
  auto counts = store.CountKeys();
  EXPECT_EQ(counts.entries, 2u);
  EXPECT_EQ(counts.tags, 1u);  // "x" stays with an empty list
  EXPECT_EQ(counts.subjects, 1u);

  auto snapshot = store.Snapshot();
  ASSERT_EQ(snapshot.size(), 2u);
  for (const auto& e : snapshot) EXPECT_EQ(e.memory_type, "task");
}

TEST(Store, LowercaseFormsAreKeptOnlyWhenTheyDiffer) {
  MetadataStore store;
  MetadataEntry e = Entry("a", "t", {"work", "Home"}, {"plain"});
  e.objects = {"ÉCOLE"};
  store.Insert(e);
  int seen = 0;
  for (size_t s = 0; s < store.ShardCount(); ++s) {
    store.VisitShard(s, [&](const StoredEntry& stored) {
      ++seen;
      EXPECT_EQ(ToEntry(stored), e);
      EXPECT_EQ(Lowers(stored.Subjects()), (Ids{"work", "home"}));
      EXPECT_TRUE(stored.Subjects()[0]->lower.empty());
      EXPECT_FALSE(stored.Subjects()[1]->lower.empty());
      EXPECT_TRUE(stored.Keywords()[0]->lower.empty());
      EXPECT_EQ(Lowers(stored.Keywords()), (Ids{"plain"}));
      EXPECT_EQ(Lowers(stored.Objects()), (Ids{"école"}));
    });
  }
  EXPECT_EQ(seen, 1);
}

// The store skips the Unicode mapping for text it can tell is already
// lowercase; what it keeps must still be exactly the mapping's result.
TEST(Store, LowercaseFormsMatchTheMappingAcrossLatin1) {
  MetadataStore store;
  Ids subjects;
  for (char32_t c = 0x80; c <= 0x1FF; ++c) {
    std::string s = "x";
    if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
    subjects.push_back(s);
    subjects.push_back(s.substr(1) + "Y");
  }
  store.Insert(Entry("a", "t", subjects));
  for (size_t s = 0; s < store.ShardCount(); ++s) {
    store.VisitShard(s, [&](const StoredEntry& stored) {
      ASSERT_EQ(stored.Subjects().size(), subjects.size());
      for (size_t i = 0; i < subjects.size(); ++i) {
        EXPECT_EQ(stored.Subjects()[i]->Lower(), ToLower(subjects[i])) << subjects[i];
      }
    });
  }
}

// The store against a literal model: vectors searched linearly, ids
// removed and appended exactly as described for Insert. Long lists
// under few keys exercise the indexed mode of IdList, its tombstones and
// its compaction.
TEST(Store, MatchesALiteralModelUnderRandomReplacement) {
  std::mt19937_64 rng(7);
  MetadataStore store;
  std::map<std::string, MetadataEntry> entries;
  std::map<std::string, Ids> types, tags;
  auto remove = [](Ids& list, const std::string& id) {
    list.erase(std::remove(list.begin(), list.end(), id), list.end());
  };
  auto add = [](Ids& list, const std::string& id) {
    if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
  };
  for (int step = 0; step < 20000; ++step) {
    std::string id = Key("id", rng() % 300);
    std::string type = Key("type", rng() % 3);
    Ids t;
    for (size_t n = rng() % 3; n > 0; --n) t.push_back(Key("tag", rng() % 5));
    if (auto it = entries.find(id); it != entries.end()) {
      remove(types[it->second.memory_type], id);
      for (const auto& x : it->second.tags) remove(tags[x], id);
    }
    MetadataEntry e = Entry(id, type, {}, {}, t);
    entries[id] = e;
    add(types[type], id);
    for (const auto& x : t) add(tags[x], id);
    store.Insert(std::move(e));
    if (step % 997 == 0 || step == 19999) {
      for (const auto& [k, ids] : types) ASSERT_EQ(store.TypeIds(k), ids) << step;
      for (const auto& [k, ids] : tags) ASSERT_EQ(store.TagIds(k), ids) << step;
    }
  }
  EXPECT_EQ(store.CountKeys().entries, entries.size());
}

// Loading a file stores its entries in bulk; the result must be what
// inserting them one by one gives: the last of repeated identifiers wins,
// and every identifier list has the same order. Large enough to be loaded
// on two threads; also into a store that already holds entries.
TEST(Store, BulkLoadMatchesInsertingOneByOne) {
  std::mt19937_64 rng(5);
  auto pick = [&](const char* prefix, uint64_t range) {
    const uint64_t n = rng() % range;
    return n == 0 ? std::string() : Key(prefix, n);
  };
  auto some = [&](const char* prefix, uint64_t range, size_t most) {
    Ids out;
    for (size_t n = rng() % (most + 1); n > 0; --n) out.push_back(pick(prefix, range));
    return out;
  };
  std::vector<MetadataEntry> entries;
  for (int i = 0; i < 30000; ++i) {
    MetadataEntry e = Entry(Key("id", rng() % 24000), pick("type", 6), some("S", 40, 3),
                            some("k", 30, 3), some("t", 8, 3));
    if (rng() % 4 == 0) e.subjects.push_back("Mixed Case É");
    e.objects = some("O", 10, 2);
    e.user_id = pick("u", 50);
    e.created_at = static_cast<double>(rng() % 1000);
    entries.push_back(std::move(e));
  }
  // Keys carried only by an entry that is replaced later stay, with empty
  // lists.
  entries.insert(entries.begin(),
                 Entry(entries[5].memory_id, "early", {"early"}, {"early"}, {"early"}));

  auto compare = [&](const MetadataStore& a, const MetadataStore& b) {
    for (uint64_t n = 0; n < 40; ++n) {
      ASSERT_EQ(a.TypeIds(Key("type", n)), b.TypeIds(Key("type", n)));
      ASSERT_EQ(a.SubjectIds(Key("S", n)), b.SubjectIds(Key("S", n)));
      ASSERT_EQ(a.KeywordIds(Key("k", n)), b.KeywordIds(Key("k", n)));
      ASSERT_EQ(a.TagIds(Key("t", n)), b.TagIds(Key("t", n)));
    }
    ASSERT_EQ(a.SubjectIds("Mixed Case É"), b.SubjectIds("Mixed Case É"));
    ASSERT_EQ(a.SubjectIds("early"), Ids{});
    auto ca = a.CountKeys(), cb = b.CountKeys();
    EXPECT_EQ(std::tie(ca.entries, ca.types, ca.subjects, ca.keywords, ca.tags),
              std::tie(cb.entries, cb.types, cb.subjects, cb.keywords, cb.tags));
    auto da = a.TypeDistribution(), db = b.TypeDistribution();
    std::sort(da.begin(), da.end());
    std::sort(db.begin(), db.end());
    EXPECT_EQ(da, db);
    std::map<std::string, const StoredEntry*> stored_a, stored_b;
    for (size_t s = 0; s < a.ShardCount(); ++s) {
      a.VisitShard(s, [&](const StoredEntry& e) { stored_a[e.memory_id] = &e; });
      b.VisitShard(s, [&](const StoredEntry& e) { stored_b[e.memory_id] = &e; });
    }
    ASSERT_EQ(stored_a.size(), stored_b.size());
    for (const auto& [id, e] : stored_a) {
      const StoredEntry* other = stored_b[id];
      ASSERT_NE(other, nullptr) << id;
      EXPECT_EQ(ToEntry(*e), ToEntry(*other)) << id;
      EXPECT_EQ(Lowers(e->Subjects()), Lowers(other->Subjects())) << id;
      EXPECT_EQ(Lowers(e->Objects()), Lowers(other->Objects())) << id;
      EXPECT_EQ(Lowers(e->Keywords()), Lowers(other->Keywords())) << id;
    }
  };

  MetadataStore one_by_one, bulk;
  for (const MetadataEntry& e : entries) one_by_one.Insert(e);
  bulk.BulkLoad(entries);
  compare(one_by_one, bulk);

  // Into a store that is not empty: the same outcome as well.
  std::vector<MetadataEntry> more(entries.begin() + 1000, entries.begin() + 3000);
  for (const MetadataEntry& e : more) one_by_one.Insert(e);
  bulk.BulkLoad(more);
  compare(one_by_one, bulk);
}

// A large index file is parsed in two pieces at once, cut at the first
// `},{"` past its middle. Whatever sits there (a boundary between entries,
// a nested value of an unknown key, a key that ends in those bytes), the
// load must store exactly the file's entries, and refuse the whole file
// for an error in either piece.
// Entries enough for an index file that is loaded on two threads.
std::vector<MetadataEntry> LargeIndex() {
  std::vector<MetadataEntry> entries;
  for (int i = 0; i < 24000; ++i) {
    MetadataEntry e = Entry(Key("id", i), Key("type", i % 7), {"work"}, {"k"}, {"t"});
    e.content_preview = std::string(300, 'x');
    e.created_at = i;
    entries.push_back(std::move(e));
  }
  return entries;
}

bool WriteFile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && written;
}

TEST(Store, LoadsLargeFilesWhereverTheyAreCut) {
  const std::vector<MetadataEntry> entries = LargeIndex();
  const std::string all = WriteIndexJson(entries);  // about 10 MB
  const size_t middle = all.size() / 2;
  const size_t boundary = all.find("},{", middle) + 1;  // a comma between entries
  const std::string head = all.substr(0, boundary);     // "[...}"
  const std::string tail = all.substr(boundary + 1);    // "{...}]"
  auto with_keys = [](std::string object, const std::string& extra) {
    return object.insert(1, extra);  // after the opening brace
  };
  const std::string object = WriteIndexJson({Entry("extra", "t")});  // "[{...}]"
  const std::string one = object.substr(1, object.size() - 2);

  std::string nested = "\"nested\":[";
  for (int i = 0; i < 100000; ++i) nested += i == 0 ? "{\"x\":[]}" : ",{\"x\":[]}";
  nested += "],";
  const std::string long_key = "\"" + std::string(2 << 20, 'a') + "},{\":0,";

  struct Case {
    const char* what;
    std::string text;
    size_t count;  // entries expected, or 0 when the file must be refused
  };
  std::vector<Case> cases = {
      {"between entries", all, entries.size()},
      {"nested value", head + "," + with_keys(one, nested) + "," + tail, entries.size() + 1},
      {"key", head + "," + with_keys(one, long_key) + "," + tail, entries.size() + 1},
      {"error in the first piece", "[{}," + all.substr(1), 0},
      {"error in the second piece", all.substr(0, all.size() - 1) + ",{}]", 0},
      {"text after the array", all + "x", 0},
  };
  const std::string dir = ::testing::TempDir();
  // Read whole (cut near the middle), and read from the file in small
  // pieces, which leaves the nested cuts and the errors to the whole read.
  for (size_t piece : {size_t{0}, size_t{64} << 10}) {
    SCOPED_TRACE(piece);
    for (const Case& c : cases) {
      const std::string path = dir + "/velmar_cut_test.json";
      ASSERT_TRUE(WriteFile(path, c.text));
      MetadataStore store;
      SetJsonStreamPieceForTesting(piece);
      IndexFile file(path);
      const Result<LoadReport> result = LoadIndexFile(file, store);
      SetJsonStreamPieceForTesting(0);
      std::remove(path.c_str());
      if (c.count == 0) {
        EXPECT_FALSE(result.has_value()) << c.what;
        EXPECT_EQ(store.CountKeys().entries, 0u) << c.what;
        continue;
      }
      ASSERT_EQ(result->result, LoadResult::kLoaded) << c.what;
      std::map<std::string, MetadataEntry> loaded;
      for (MetadataEntry& e : store.Snapshot()) loaded[e.memory_id] = std::move(e);
      ASSERT_EQ(loaded.size(), c.count) << c.what;
      for (const MetadataEntry& e : entries) ASSERT_EQ(loaded[e.memory_id], e) << c.what;
      // Identifier lists in file order: the cut must not reorder the pieces.
      const Ids ids = store.TypeIds("type3");
      ASSERT_EQ(ids.size(), entries.size() / 7 + 1) << c.what;
      for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], Key("id", 7 * i + 3)) << c.what;
    }
  }
}

// The worker pool's size belongs to its first user (an extractor asking for
// a thread count), so loading an index, even on two threads, must not
// create it. Pool state is process-wide: this runs in a fresh copy of the
// binary.
void LoadThenConfigurePool() {
  const std::string path = ::testing::TempDir() + "/velmar_pool_test.json";
  if (!WriteFile(path, WriteIndexJson(LargeIndex()))) std::exit(2);
  MetadataStore store;
  IndexFile file(path);
  const Result<LoadReport> result = LoadIndexFile(file, store);
  std::remove(path.c_str());
  if (!result || result->result != LoadResult::kLoaded) std::exit(3);
  velmar::ConfigureWorkerPool(3);
  std::exit(velmar::ActualThreadCount() == 3 ? 0 : 1);
}

TEST(StoreDeathTest, LoadingLeavesTheWorkerPoolToItsFirstUser) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadThenConfigurePool(), ::testing::ExitedWithCode(0), "");
}

// Loading never raises, even when the second parse thread cannot start: in
// a copy of the binary that may start no more processes or threads at all,
// a file large enough for two threads loads on the calling one. The file
// lies in a folder of its own under /tmp that every user may enter, since
// the test's own temporary folder may sit where user nobody cannot go (in
// a checkout under /root, say).
std::string g_nothread_dir;

void LoadWithoutThreads() {
  const std::string path = g_nothread_dir + "/index.json";
  const std::vector<MetadataEntry> entries = LargeIndex();
  if (!WriteFile(path, WriteIndexJson(entries))) std::_Exit(2);
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NPROC, &none) != 0 || setuid(65534) != 0) std::_Exit(3);
  try {
    std::thread([] {}).join();
    std::_Exit(4);  // the limit did not hold: the test proves nothing
  } catch (const std::system_error&) {
  }
  // _Exit: nothing may run at exit that would want a thread (a leak
  // checker's, say).
  MetadataStore store;
  IndexFile file(path);
  const Result<LoadReport> result = LoadIndexFile(file, store);
  std::_Exit(result && result->result == LoadResult::kLoaded &&
                     store.CountKeys().entries == entries.size()
                 ? 0
                 : 1);
}

TEST(StoreDeathTest, LoadsOnTheCallingThreadWhenNoThreadCanStart) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to a user with no threads left";
  // The child of a threadsafe death test runs this body again: it takes
  // the folder its parent made from the environment.
  static constexpr char kDirVariable[] = "VELMAR_TEST_NOTHREAD_DIR";
  const bool child = std::getenv(kDirVariable) != nullptr;
  if (child) {
    g_nothread_dir = std::getenv(kDirVariable);
  } else {
    char dir[] = "/tmp/velmar_nothread_XXXXXX";
    if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0) {
      GTEST_SKIP() << "no folder under /tmp that user nobody could read";
    }
    g_nothread_dir = dir;
    setenv(kDirVariable, dir, 1);
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadWithoutThreads(), ::testing::ExitedWithCode(0), "");
  if (child) return;
  unsetenv(kDirVariable);
  std::remove((g_nothread_dir + "/index.json").c_str());
  rmdir(g_nothread_dir.c_str());
}

// Many threads insert into one store, with identifiers shared between
// threads so that replacements race each other. Afterwards every entry is
// listed exactly once under each key it carries and nowhere else.
// Every entry is listed exactly once under each key it carries, and no
// identifier is listed anywhere else (keys "s0".."s19", "k..", "t.." and
// `types`).
void ExpectIndexesMatchEntries(const MetadataStore& store, const std::vector<std::string>& kTypes) {
  auto snapshot = store.Snapshot();
  std::map<std::string, const MetadataEntry*> by_id;
  for (const auto& e : snapshot) ASSERT_TRUE(by_id.emplace(e.memory_id, &e).second);
  EXPECT_EQ(store.CountKeys().entries, snapshot.size());

  auto check = [&](const char* prefix, auto ids_of, auto field) {
    for (uint64_t n = 0; n < 20; ++n) {
      std::string k = Key(prefix, n);
      Ids listed = ids_of(k);
      std::set<std::string> unique(listed.begin(), listed.end());
      ASSERT_EQ(unique.size(), listed.size()) << k;
      std::set<std::string> want;
      for (const auto& [id, e] : by_id) {
        const Ids& values = field(*e);
        if (std::find(values.begin(), values.end(), k) != values.end()) want.insert(id);
      }
      EXPECT_EQ(unique, want) << k;
    }
  };
  check("s", [&](const std::string& k) { return store.SubjectIds(k); },
        [](const MetadataEntry& e) -> const Ids& { return e.subjects; });
  check("k", [&](const std::string& k) { return store.KeywordIds(k); },
        [](const MetadataEntry& e) -> const Ids& { return e.keywords; });
  check("t", [&](const std::string& k) { return store.TagIds(k); },
        [](const MetadataEntry& e) -> const Ids& { return e.tags; });
  size_t typed = 0;
  for (const auto& type : kTypes) {
    Ids listed = store.TypeIds(type);
    std::set<std::string> unique(listed.begin(), listed.end());
    ASSERT_EQ(unique.size(), listed.size());
    std::set<std::string> want;
    for (const auto& [id, e] : by_id) {
      if (!type.empty() && e->memory_type == type) want.insert(id);
    }
    EXPECT_EQ(unique, want) << type;
    typed += listed.size();
  }
  size_t dist_total = 0;
  for (const auto& [type, n] : store.TypeDistribution()) dist_total += n;
  EXPECT_EQ(dist_total, typed);
}

TEST(Store, ConcurrentInsertionKeepsTheIndexesExact) {
  MetadataStore store;
  const int kThreads = 8;
  const int kPerThread = 4000;
  const std::vector<std::string> kTypes = {"note", "task", "fact", ""};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(100 + t);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        MetadataEntry e = Entry(Key("id", rng() % 500), kTypes[rng() % kTypes.size()]);
        for (size_t n = rng() % 4; n > 0; --n) e.subjects.push_back(Key("s", rng() % 20));
        for (size_t n = rng() % 3; n > 0; --n) e.keywords.push_back(Key("k", rng() % 20));
        for (size_t n = rng() % 3; n > 0; --n) e.tags.push_back(Key("t", rng() % 20));
        store.Insert(std::move(e));
        if (i % 500 == 0) (void)store.Snapshot();
      }
    });
  }
  go = true;
  for (auto& th : threads) th.join();

  ExpectIndexesMatchEntries(store, kTypes);
}

// Eight threads insert, replace, delete and search at once. Each owns its
// identifiers, so it knows which of them must be live at the end: none may
// be lost or come back. They share every key, shard and view, and some
// identifiers are fought over by all of them.
TEST(Store, ConcurrentInsertDeleteAndSearchLoseAndResurrectNothing) {
  MetadataStore store;
  const int kThreads = 8;
  const std::vector<std::string> kTypes = {"note", "task", "fact", ""};
  std::atomic<bool> go{false};
  std::vector<std::set<std::string>> live(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(300 + t);
      const std::string own = Key("own", static_cast<uint64_t>(t)).append("_");
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 3000; ++i) {
        const bool shared = rng() % 8 == 0;
        const std::string id = shared ? Key("shared", rng() % 50) : Key(own.c_str(), rng() % 300);
        const uint64_t op = rng() % 10;
        if (op < 5) {
          MetadataEntry e = Entry(id, kTypes[rng() % kTypes.size()], {Key("s", rng() % 20)},
                                  {Key("k", rng() % 20)}, {Key("t", rng() % 20)});
          e.created_at = static_cast<double>(rng() % 100);
          store.Insert(std::move(e));
          if (!shared) live[static_cast<size_t>(t)].insert(id);
        } else if (op < 8) {
          const size_t n = store.Delete({id});
          if (!shared) {
            EXPECT_EQ(n, live[static_cast<size_t>(t)].erase(id)) << id;
          }
        } else {
          StrictQuery q;
          q.tags = {Key("t", rng() % 20)};
          q.limit = 50;
          const std::vector<std::string> found = IdTexts(SearchStrict(store, q));
          EXPECT_EQ(std::set<std::string>(found.begin(), found.end()).size(), found.size());
          (void)store.Get(id);
        }
      }
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  std::set<std::string> expected_own, actual_own;
  for (const auto& ids : live) expected_own.insert(ids.begin(), ids.end());
  for (const MetadataEntry& e : store.Snapshot()) {
    if (e.memory_id.starts_with("own")) actual_own.insert(e.memory_id);
  }
  EXPECT_EQ(actual_own, expected_own);
  for (const std::string& id : expected_own) EXPECT_TRUE(store.Get(id).has_value()) << id;
  ExpectIndexesMatchEntries(store, kTypes);
}

}  // namespace
}  // namespace velmar::memory
