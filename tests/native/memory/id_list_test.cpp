#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "memory/store/id_list.hpp"

namespace velmar::memory {
namespace {

using Ids = std::vector<std::string>;

std::string Key(const char* prefix, uint64_t n) {
  std::string s(prefix);
  s.append(std::to_string(n));
  return s;
}

TEST(IdList, AddRemoveAcrossModes) {
  // Identifiers are pointers to strings that outlive the list.
  std::vector<std::string> names;
  for (int i = 0; i < 64; ++i) names.push_back(Key("", static_cast<uint64_t>(i)));
  names.push_back("");  // an empty identifier (possible from a file) is one too
  IdList list;
  Ids model;
  std::mt19937_64 rng(3);
  for (int step = 0; step < 5000; ++step) {
    const std::string& id = names[rng() % names.size()];
    if (rng() % 3 == 0) {
      list.Remove(&id);
      model.erase(std::remove(model.begin(), model.end(), id), model.end());
    } else {
      list.Add(&id);
      if (std::find(model.begin(), model.end(), id) == model.end()) model.push_back(id);
    }
    ASSERT_EQ(list.size(), model.size());
    ASSERT_EQ(list.Contains(&id), std::find(model.begin(), model.end(), id) != model.end());
    if (step % 50 == 0) {
      ASSERT_EQ(list.ToVector(), model);
    }
  }
  EXPECT_EQ(list.ToVector(), model);
}

}  // namespace
}  // namespace velmar::memory
