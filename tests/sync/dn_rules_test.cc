#include "sync/dn_rules.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

const std::vector<DcEntry> kNoDcs;

TEST(DnToDeptPathTest, OuChainFromTheTopInUpperCase) {
  std::vector<std::string> bases{"DC=corp,DC=com"};
  EXPECT_EQ(DnToDeptPath("OU=Sales,OU=HQ,DC=corp,DC=com", bases, kNoDcs), "HQ\\SALES\\");
  EXPECT_EQ(DnToDeptPath("ou=hq,dc=CORP,dc=com", bases, kNoDcs), "HQ\\");
  // The base itself, and a DN under no base, have no path.
  EXPECT_EQ(DnToDeptPath("DC=corp,DC=com", bases, kNoDcs), "");
  EXPECT_EQ(DnToDeptPath("OU=X,DC=other,DC=com", bases, kNoDcs), "");
  // Components other than OU add nothing.
  EXPECT_EQ(DnToDeptPath("CN=Users,DC=corp,DC=com", bases, kNoDcs), "");
}

TEST(DnToDeptPathTest, BaseThatIsAnOuAndSeveralBases) {
  std::vector<std::string> bases{"OU=HQ,DC=corp,DC=com", "OU=Branch,DC=corp,DC=com"};
  EXPECT_EQ(DnToDeptPath("OU=Sales,OU=HQ,DC=corp,DC=com", bases, kNoDcs), "SALES\\");
  EXPECT_EQ(DnToDeptPath("OU=East,OU=Branch,DC=corp,DC=com", bases, kNoDcs), "EAST\\");
}

TEST(DnToDeptPathTest, EscapedCommaStaysInsideTheName) {
  std::vector<std::string> bases{"DC=corp,DC=com"};
  EXPECT_EQ(DnToDeptPath("OU=Sales\\, East,OU=HQ,DC=corp,DC=com", bases, kNoDcs),
            "HQ\\SALES, EAST\\");
}

TEST(DnToDeptPathTest, ChineseNamesKeptAsTheyAre) {
  std::vector<std::string> bases{"DC=corp,DC=com"};
  EXPECT_EQ(DnToDeptPath("OU=销售部,OU=总部,DC=corp,DC=com", bases, kNoDcs), "总部\\销售部\\");
}

TEST(DnToDeptPathTest, ConfiguredDomainControllers) {
  std::vector<std::string> bases{"DC=corp,DC=com"};
  DcEntry child;
  child.domain_name = "DC=child";
  std::vector<DcEntry> dcs{child};
  // The controller's DN at the start of the relative part: a department named after it.
  EXPECT_EQ(DnToDeptPath("DC=child,DC=corp,DC=com", bases, dcs), "child\\");
  // Inside it: it stands for an OU named after its domain.
  EXPECT_EQ(DnToDeptPath("OU=Sales,DC=child,DC=corp,DC=com", bases, dcs), "child\\SALES\\");
  // An entry with an empty name is no match for everything.
  std::vector<DcEntry> empty_name(1);
  EXPECT_EQ(DnToDeptPath("OU=A,DC=corp,DC=com", bases, empty_name), "A\\");
  // Names are matched as whole components: an OU whose name begins another's is its own.
  const std::vector<std::string> ou_base{"OU=LiveBench1,DC=corp,DC=com"};
  DcEntry self;
  self.domain_name = ou_base[0];  // the one controller entry a single-domain setup writes
  EXPECT_EQ(DnToDeptPath("OU=LiveB,OU=LiveBench1,DC=corp,DC=com", ou_base, {self}), "LIVEB\\");
  DcEntry bench;
  bench.domain_name = "OU=LiveBench2";
  EXPECT_EQ(DnToDeptPath("OU=Live,OU=LiveBench1,DC=corp,DC=com", ou_base, {bench}), "LIVE\\");
  EXPECT_EQ(DnToDeptPath("OU=X,OU=LiveBench2,OU=LiveBench1,DC=corp,DC=com", ou_base, {bench}),
            "LIVEBENCH2\\X\\");
  // The named-user import's test of "under a controller" is by whole components too.
  EXPECT_TRUE(DnContains("OU=A,DC=corp,DC=com", "dc=CORP, dc=com"));
  EXPECT_FALSE(DnContains("OU=A,DC=corporate,DC=com", "DC=corp"));
  EXPECT_FALSE(DnContains("OU=LiveBench1,DC=corp", "OU=LiveB"));
}

TEST(DnToDeptNameTest, OuValueOrDottedDomain) {
  EXPECT_EQ(DnToDeptName("OU=Sales,OU=HQ,DC=corp,DC=com"), "Sales");
  EXPECT_EQ(DnToDeptName("ou=sales,dc=corp"), "sales");
  EXPECT_EQ(DnToDeptName("dc=corp,dc=example,dc=com"), "corp.example.com");
  EXPECT_EQ(DnToDeptName("DC=Corp,DC=Com"), "corp.com");
  EXPECT_EQ(DnToDeptName("dc=a,dc=com;dc=b,dc=com"), "a.com");
  EXPECT_EQ(DnToDeptName("CN=Group,OU=Groups,DC=corp"), "Groups");
  EXPECT_EQ(DnToDeptName("o=corp"), "");
  EXPECT_EQ(DnToDeptName("ou="), "");
  EXPECT_EQ(DnToDeptName("OU=Sales\\, East,DC=corp"), "Sales, East");
  EXPECT_EQ(DnToDeptName("OU=\\E9\\94\\80,DC=corp"), "销");
}

TEST(DeptNameTest, BackslashBecomesSlashAndNamesFitTheServer) {
  const std::vector<std::string> bases{"o=corp"};
  // An OU named R\D is a department of its own, not D below R, however it is escaped.
  EXPECT_EQ(DnToDeptName("ou=R\\5CD,o=corp"), "R/D");
  EXPECT_EQ(DnToDeptPath("ou=R\\5CD,o=corp", bases, kNoDcs), "R/D\\");
  EXPECT_EQ(DnToDeptPath("ou=x\\\\y,ou=R\\5CD,o=corp", bases, kNoDcs), "R/D\\X/Y\\");
  EXPECT_EQ(DnToDeptPathAsNamed("ou=x\\\\y,ou=R\\5CD,o=corp", bases, kNoDcs), "R/D\\x/y\\");
  EXPECT_EQ(DeptNameOf("a\\b\\c"), "a/b/c");
  std::string long_name = "x";
  for (int i = 0; i < 100; ++i) long_name += "长";  // 301 bytes
  const std::string cut = DeptNameOf(long_name);
  EXPECT_EQ(cut.size(), 253u);  // 1 + 84 * 3: never half a character
  EXPECT_EQ(DnToDeptName("ou=" + long_name + ",o=corp"), cut);
}

TEST(ParentDnTest, EscapedAndStrippedCommas) {
  EXPECT_EQ(ParentDn("CN=Smith\\, John,OU=Sales,DC=corp"), "OU=Sales,DC=corp");
  // A DN whose backslashes were dropped on the way still finds its real parent.
  EXPECT_EQ(ParentDn("CN=Smith, John,OU=Sales,DC=corp"), "OU=Sales,DC=corp");
  EXPECT_EQ(ParentDn("CN=a,OU=b"), "OU=b");
  EXPECT_EQ(ParentDn("CN=a\\\\,OU=b"), "OU=b");  // escaped backslash, real separator
  EXPECT_EQ(ParentDn("DC=com"), "");
  EXPECT_EQ(SplitDn("CN=x\\,y,1.2.3=z").size(), 2u);
}

TEST(DnDepthTest, CountsEqualSigns) {
  EXPECT_EQ(DnDepth(""), 0);
  EXPECT_EQ(DnDepth("OU=a,DC=b,DC=c"), 3);
  EXPECT_LT(DnDepth("OU=HQ,DC=c"), DnDepth("OU=Sales,OU=HQ,DC=c"));
}

}  // namespace
}  // namespace norvane
