#include "memory/store/text_pool.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace velmar::memory {
namespace {

// Threads interning overlapping texts at once must each get the one copy
// of every text: two copies would make equal keys compare unequal (the
// indexes tell texts apart by address), and a lost one would dangle.
TEST(TextPool, ConcurrentInternsShareOneCopyOfEachText) {
  TextPool pool;
  constexpr int kThreads = 4, kTexts = 5000;
  std::vector<std::vector<const PooledText*>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTexts; ++i) {
        // Each thread in its own order, so that first arrivals differ.
        const int n = (i * (2 * t + 1)) % kTexts;
        got[t].push_back(pool.Intern("Text " + std::to_string(n)));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(pool.size(), static_cast<size_t>(kTexts));
  std::vector<const PooledText*> by_text(kTexts, nullptr);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kTexts; ++i) {
      const int n = (i * (2 * t + 1)) % kTexts;
      const PooledText* text = got[t][static_cast<size_t>(i)];
      if (by_text[n] == nullptr) by_text[n] = text;
      ASSERT_EQ(text, by_text[n]) << n;
      ASSERT_EQ(text->text, "Text " + std::to_string(n));
      ASSERT_EQ(text->Lower(), "text " + std::to_string(n));
    }
  }
}

TEST(TextPool, KeepsLowercaseOnlyWhenItDiffersAndTellsCaseApart) {
  TextPool pool;
  const PooledText* upper = pool.Intern("ÉCOLE");
  const PooledText* lower = pool.Intern("école");
  EXPECT_NE(upper, lower);
  EXPECT_EQ(upper->Lower(), "école");
  EXPECT_TRUE(lower->lower.empty());
  EXPECT_EQ(pool.Intern(""), pool.Intern(std::string()));
  EXPECT_EQ(pool.Intern(std::string("a\0b", 3))->text.size(), 3u);
  EXPECT_NE(pool.Intern(std::string("a\0b", 3)), pool.Intern("a"));
}

}  // namespace
}  // namespace velmar::memory
