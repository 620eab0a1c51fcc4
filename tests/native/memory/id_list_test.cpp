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
    if (step % 97 == 0) {
      // Many at once: distinct, some of them not listed.
      std::vector<IdList::Id> gone;
      for (const std::string& name : names) {
        if (rng() % 4 == 0) gone.push_back(&name);
      }
      std::vector<IdList::Id> scratch(IdList::RemovalCells(gone.size()));
      list.RemoveMany(gone, scratch);
      for (IdList::Id g : gone) model.erase(std::remove(model.begin(), model.end(), *g), model.end());
    } else if (rng() % 3 == 0) {
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

// A list only appended to has no table: removing many goes through it once,
// round after round.
TEST(IdList, RemoveManyFromAnAppendedList) {
  std::vector<std::string> names;
  for (int i = 0; i < 1000; ++i) names.push_back(Key("m", static_cast<uint64_t>(i)));
  IdList list;
  for (const std::string& name : names) list.Append(&name);
  Ids model(names.begin(), names.end());
  std::mt19937_64 rng(5);
  for (int round = 0; round < 4; ++round) {
    std::vector<IdList::Id> gone;
    for (const std::string& name : names) {
      if (rng() % 5 == 0) gone.push_back(&name);
    }
    std::vector<IdList::Id> scratch(IdList::RemovalCells(gone.size()) + 3);
    list.RemoveMany(gone, scratch);
    for (IdList::Id g : gone) model.erase(std::remove(model.begin(), model.end(), *g), model.end());
    ASSERT_EQ(list.ToVector(), model) << round;
    ASSERT_EQ(list.size(), model.size()) << round;
  }
}

}  // namespace
}  // namespace velmar::memory
