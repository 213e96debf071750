// The hash index over a caller's array: first position kept for a repeated key, keys found after
// the table has grown, colliding hashes told apart by the keys themselves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/hash_slots.h"

namespace kes {
namespace {

TEST(HashSlots, KeepsTheFirstPositionOfEachKeyThroughGrowth) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back("k" + std::to_string(i % 700));  // 300 repeats
  // A poor hash (many keys share one) must still find each key by comparing it.
  auto hash = [](const std::string& k) { return static_cast<uint32_t>(k.size() * 7 + k.back()); };
  HashSlots index;
  for (uint32_t i = 0; i < keys.size(); ++i) {
    auto [at, added] = index.Insert(hash(keys[i]), i, [&](uint32_t p) { return keys[p] == keys[i]; });
    EXPECT_EQ(added, i < 700) << keys[i];
    EXPECT_EQ(at, i % 700);
  }
  for (const std::string& probe : std::vector<std::string>{"k0", "k699", "k700", "x"}) {
    auto [at, found] = index.Find(hash(probe), [&](uint32_t p) { return keys[p] == probe; });
    EXPECT_EQ(found, probe != "k700" && probe != "x") << probe;
    if (found) {
      EXPECT_EQ(keys[at], probe);
    }
  }
}

}  // namespace
}  // namespace kes
