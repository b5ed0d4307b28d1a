#include "sync/removal_list.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

TEST(RemovalListTest, StrikesOffTheFirstEqualEntryIgnoringCase) {
  RemovalList list;
  list.Assign({"Sales\\", "sales\\", "HQ\\", "销售\\"});
  EXPECT_TRUE(list.Remove("SALES\\"));
  EXPECT_EQ(list.Remaining(), (std::vector<std::string>{"sales\\", "HQ\\", "销售\\"}));
  EXPECT_TRUE(list.Remove("Sales\\"));
  EXPECT_FALSE(list.Remove("Sales\\"));  // both copies gone
  EXPECT_FALSE(list.Remove("Nobody"));
  EXPECT_TRUE(list.Remove("销售\\"));
  EXPECT_EQ(list.Remaining(), std::vector<std::string>{"HQ\\"});
  EXPECT_EQ(list.size(), 1u);
  EXPECT_TRUE(list.Contains("hq\\"));
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_FALSE(list.Remove("HQ\\"));
}

TEST(RemovalListTest, KeepsWalkOrderOfWhatRemains) {
  RemovalList list;
  std::vector<std::string> names;
  for (int i = 0; i < 1000; ++i) names.push_back("u" + std::to_string(i));
  list.Assign(names);
  for (int i = 0; i < 1000; i += 2) ASSERT_TRUE(list.Remove("U" + std::to_string(i)));
  std::vector<std::string> rest = list.Remaining();
  ASSERT_EQ(rest.size(), 500u);
  EXPECT_EQ(rest.front(), "u1");
  EXPECT_EQ(rest.back(), "u999");
}

}  // namespace
}  // namespace norvane
