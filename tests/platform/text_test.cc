#include "platform/text.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

using Items = std::vector<std::string>;

TEST(ListTest, SplitFollowsTheStoredForm) {
  EXPECT_EQ(SplitList("a;b;"), (Items{"a", "b"}));
  EXPECT_EQ(SplitList("a;;b"), (Items{"a", "", "b"}));
  EXPECT_EQ(SplitList("a;b"), (Items{"a", "b"}));
  EXPECT_EQ(SplitList(""), Items{});
  EXPECT_EQ(SplitList(";"), (Items{""}));
  EXPECT_EQ(SplitList("dc=a,dc=b;dc=c,dc=d"), (Items{"dc=a,dc=b", "dc=c,dc=d"}));
}

TEST(ListTest, JoinPutsASemicolonAfterEveryItem) {
  EXPECT_EQ(JoinList({"a", "b"}), "a;b;");
  EXPECT_EQ(JoinList({}), "");
  EXPECT_EQ(SplitList(JoinList({"x", "", "y"})), (Items{"x", "", "y"}));
}

TEST(Utf8Test, AcceptsShortestFormsOnly) {
  EXPECT_TRUE(IsValidUtf8("销售部 ascii \xf0\x9f\x98\x80"));
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xe9\x94"));          // cut short
  EXPECT_FALSE(IsValidUtf8("\xff"));
}

TEST(CompareTest, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(EqualsNoCase("SysConfig", "sysconfig"));
  EXPECT_FALSE(EqualsNoCase("SysConfig", "SysConfigs"));
  EXPECT_TRUE(EqualsNoCase("销售部", "销售部"));
  EXPECT_FALSE(EqualsNoCase("销售部", "销售"));
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_EQ(ToLowerAscii("DC=Test,DC=Com"), "dc=test,dc=com");
  LessNoCase less;
  EXPECT_FALSE(less("CORP.com", "corp.COM"));
  EXPECT_FALSE(less("corp.COM", "CORP.com"));
}

TEST(NormaliseDnTextTest, DropsBlanksAroundCommasAndEnds) {
  EXPECT_EQ(NormaliseDnText("  ou=a, ou=b,  dc=c  "), "ou=a,ou=b,dc=c");
  EXPECT_EQ(NormaliseDnText("cn=John Smith,ou=x"), "cn=John Smith,ou=x");
  EXPECT_EQ(NormaliseDnText("   "), "");
  EXPECT_EQ(NormaliseDnText("(&(a=b) (c=d))"), "(&(a=b) (c=d))");
}

TEST(CutToBytesTest, NeverSplitsACharacter) {
  EXPECT_EQ(CutToBytes("abcdef", 3), "abc");
  EXPECT_EQ(CutToBytes("abc", 31), "abc");
  // Each of these characters takes three bytes.
  EXPECT_EQ(CutToBytes("张三丰", 7), "张三");
  EXPECT_EQ(CutToBytes("张三丰", 6), "张三");
  EXPECT_EQ(CutToBytes("张三丰", 2), "");
  EXPECT_EQ(CutToBytes("a张", 3), "a");
}

TEST(ParseLongTest, BehavesLikeAtol) {
  EXPECT_EQ(ParseLong("389"), 389);
  EXPECT_EQ(ParseLong("  -12x"), -12);
  EXPECT_EQ(ParseLong("abc"), 0);
  EXPECT_EQ(ParseLong(""), 0);
  EXPECT_EQ(static_cast<std::uint16_t>(ParseLong("70000")), 4464);
  EXPECT_EQ(static_cast<std::uint16_t>(ParseLong("65535")), 65535);
}

}  // namespace
}  // namespace norvane
