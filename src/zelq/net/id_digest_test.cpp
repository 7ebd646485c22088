#include "zelq/net/id_digest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace zelq::net {
namespace {

// A digest tells ids apart wherever they differ, and is the same for the
// same id, whatever the ids' sizes.
TEST(IdDigest, TellsIdsApartWhereverTheyDiffer) {
  const std::string long_id(100'000, 'e');
  const std::string ids[] = {"", "e1", "e2", "1e", long_id, long_id + "1", long_id + "2",
                             "1" + long_id};
  std::unordered_set<IdDigest, IdDigest::Hash> seen;
  for (const std::string& id : ids) {
    EXPECT_EQ(IdDigest::of(id), IdDigest::of(std::string(id))) << id.size();
    EXPECT_TRUE(seen.insert(IdDigest::of(id)).second) << id.substr(0, 3) << " " << id.size();
  }
  EXPECT_FALSE(seen.insert(IdDigest::of(long_id + "2")).second);
  EXPECT_EQ(sizeof(IdDigest), 16u);
}

}  // namespace
}  // namespace zelq::net
