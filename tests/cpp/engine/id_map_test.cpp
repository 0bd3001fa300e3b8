// The id index: lookups, inserts and erases against a reference map under id
// patterns that stress the probing (counting up, power-of-two strides that
// land in one block, scattered ids), and a clear that forgets everything at
// once.

#include "engine/id_map.hpp"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace halvorn::engine {
namespace {

using Reference = std::unordered_map<OrderId, std::uint64_t>;

void expect_same(const IdMap<std::uint64_t>& map, const Reference& ref,
                 const std::vector<OrderId>& universe) {
  ASSERT_EQ(map.size(), ref.size());
  for (OrderId id : universe) {
    const auto it = ref.find(id);
    const std::uint64_t* found = map.find(id);
    if (it == ref.end()) {
      ASSERT_EQ(found, nullptr) << "id " << id;
    } else {
      ASSERT_NE(found, nullptr) << "id " << id;
      ASSERT_EQ(*found, it->second) << "id " << id;
    }
  }
}

// Ids drawn from each pattern, inserted, overwritten and erased at random,
// with long erase-heavy stretches so that the backward shift of an erase is
// exercised on long runs of neighbours.
TEST(IdMap, AgreesWithAReferenceMapUnderChurn) {
  const std::vector<std::pair<const char*, std::vector<OrderId>>> patterns = [] {
    std::vector<OrderId> counting, block_stride, wide_stride, scattered;
    std::mt19937_64 rng(11);
    for (OrderId i = 0; i < 3'000; ++i) {
      counting.push_back(i);
      block_stride.push_back(i * 16);  // one id per block of neighbouring slots
      wide_stride.push_back(i << 32);
      scattered.push_back(rng());
    }
    return std::vector<std::pair<const char*, std::vector<OrderId>>>{{"counting", counting},
                                                                     {"block stride", block_stride},
                                                                     {"wide stride", wide_stride},
                                                                     {"scattered", scattered}};
  }();
  for (const auto& [name, universe] : patterns) {
    SCOPED_TRACE(name);
    std::mt19937_64 rng(5);
    IdMap<std::uint64_t> map;
    Reference ref;
    for (int round = 0; round < 40; ++round) {
      const int erase_share = round % 4 == 3 ? 80 : 30;  // percent
      for (int op = 0; op < 500; ++op) {
        const OrderId id = universe[rng() % universe.size()];
        if (static_cast<int>(rng() % 100) < erase_share) {
          ASSERT_EQ(map.erase(id), ref.erase(id) == 1) << "id " << id;
        } else {
          const std::uint64_t v = rng();
          ASSERT_EQ(map.put(id, v), v);
          ref[id] = v;
        }
      }
      expect_same(map, ref, universe);
    }
    EXPECT_GT(ref.size(), 100u);
  }
}

TEST(IdMap, ClearForgetsEveryIdAndTheMapFillsAgain) {
  IdMap<std::uint64_t> map;
  for (OrderId id = 1; id <= 1'000; ++id) map.put(id, id);
  map.clear();
  EXPECT_TRUE(map.empty());
  for (OrderId id = 1; id <= 1'000; ++id) ASSERT_FALSE(map.contains(id)) << id;
  EXPECT_FALSE(map.erase(5));

  // Refilled with other values, then erased down, across several clears.
  for (std::uint64_t epoch = 1; epoch <= 3; ++epoch) {
    for (OrderId id = 500; id <= 1'500; ++id) map.put(id, id * epoch);
    for (OrderId id = 500; id <= 1'500; id += 2) ASSERT_TRUE(map.erase(id));
    EXPECT_EQ(map.size(), 500u);
    for (OrderId id = 500; id <= 1'500; ++id) {
      const std::uint64_t* v = map.find(id);
      if (id % 2 == 0) {
        ASSERT_EQ(v, nullptr);
      } else {
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(*v, id * epoch);
      }
    }
    map.clear();
  }
}

}  // namespace
}  // namespace halvorn::engine
