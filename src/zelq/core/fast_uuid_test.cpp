#include "zelq/core/fast_uuid.hpp"

#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace zelq::core {
namespace {

TEST(FastUuid, GivesDistinctLowerCaseVersion4Texts) {
  const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = fast_uuid();
    EXPECT_TRUE(std::regex_match(id, v4)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace zelq::core
