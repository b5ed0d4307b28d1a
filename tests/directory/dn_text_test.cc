// Filters, escaping, DN cutting and text conversion: the pure parts of the directory layer.
#include "directory/dn_text.h"

#include <gtest/gtest.h>

#include "directory/ldap_client.h"

namespace norvane {
namespace {

TEST(FilterTest, FullImportFiltersByTypeAndMode) {
  EXPECT_EQ(UserFilter(0), "(&(objectClass=user)(objectCategory=person)(SamAccountName=*))");
  EXPECT_EQ(UserFilter(1), "(&(|(objectClass=user)(objectClass=person))(uid=*))");
  EXPECT_EQ(UserFilter(2), UserFilter(1));
  EXPECT_EQ(UserFilter(3), "");
  EXPECT_EQ(DeptFilter(0, 0),
            "(&(objectCategory=OrganizationalUnit)(objectClass=organizationalUnit)(ou=*))");
  EXPECT_EQ(DeptFilter(0, 1), "(&(objectCategory=Group)(objectClass=Group)(cn=*))");
  EXPECT_EQ(DeptFilter(2, -1), "(&(objectClass=organizationalUnit)(ou=*))");
  EXPECT_EQ(DeptFilter(1, 2),
            "(&(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))(cn=*))");
  EXPECT_EQ(DeptFilter(7, 0), "");
}

TEST(FilterTest, ChangeFilterCarriesSixtyFourBitNumbers) {
  EXPECT_EQ(ChangeFilter(0, 12345), "(&(!objectClass=computer)(uSNChanged>=12345))");
  EXPECT_EQ(ChangeFilter(1, 5000000000LL), "(uSNChanged>=5000000000)");
}

TEST(FilterTest, ValuesAreEscapedSoTheyMatchOnlyThemselves) {
  EXPECT_EQ(EscapeFilterValue("*"), "\\2a");
  EXPECT_EQ(EscapeFilterValue("a)(uid=*"), "a\\29\\28uid=\\2a");
  EXPECT_EQ(EscapeFilterValue(std::string("a\\b\0c", 5)), "a\\5cb\\00c");
  EXPECT_EQ(EscapeFilterValue("张伟"), "张伟");
  EXPECT_EQ(AccountFilter("*"), "sAMAccountName=\\2a");
  EXPECT_EQ(UserByAccountFilter("a)(x=*"),
            "(&(objectClass=user)(objectCategory=person)(SamAccountName=a\\29\\28x=\\2a))");
  EXPECT_EQ(EqualityFilter("uid", "bob"), "uid=bob");
}

TEST(FilterTest, BareNegationsAreWrittenInFull) {
  EXPECT_EQ(RepairFilter("(&(!objectClass=computer)(uSNChanged>=5))"),
            "(&(!(objectClass=computer))(uSNChanged>=5))");
  EXPECT_EQ(RepairFilter("(!(cn=a))"), "(!(cn=a))");
  EXPECT_EQ(RepairFilter("(!cn=a\\29b)"), "(!(cn=a\\29b))");
  EXPECT_EQ(RepairFilter("(!cn=a"), "(!cn=a");
  EXPECT_EQ(RepairFilter("(uid=!x)"), "(uid=!x)");
}

TEST(DnTextTest, ParentDnHonoursEscapedAndQuotedCommas) {
  std::string parent = "unchanged";
  EXPECT_TRUE(ParentDnOf("CN=Smith\\, John,OU=Sales,DC=corp", parent));
  EXPECT_EQ(parent, "OU=Sales,DC=corp");
  EXPECT_TRUE(ParentDnOf("uid=rdlee,ou=Research\\2C Development,o=corp", parent));
  EXPECT_EQ(parent, "ou=Research\\2C Development,o=corp");
  EXPECT_TRUE(ParentDnOf("CN=\"Smith, John\",OU=Sales", parent));
  EXPECT_EQ(parent, "OU=Sales");
  EXPECT_TRUE(ParentDnOf("CN=a\\\\, OU=b", parent));  // an escaped backslash, then a separator
  EXPECT_EQ(parent, " OU=b");
  parent = "unchanged";
  EXPECT_FALSE(ParentDnOf("O=corp", parent));
  EXPECT_FALSE(ParentDnOf("CN=Smith\\, John", parent));
  EXPECT_EQ(parent, "unchanged");
  EXPECT_EQ(ParentDnOrEmpty("DC=com"), "");
}

TEST(DnTextTest, StripBackslashesDropsEveryBackslash) {
  EXPECT_EQ(StripBackslashes("CN=Smith\\, John,OU=Sales"), "CN=Smith, John,OU=Sales");
  EXPECT_EQ(StripBackslashes("a\\\\b"), "ab");
  EXPECT_EQ(StripBackslashes("plain"), "plain");
}

TEST(DnTextTest, UnescapeDnValueResolvesCharacterAndHexEscapes) {
  EXPECT_EQ(UnescapeDnValue("Smith\\, John"), "Smith, John");
  EXPECT_EQ(UnescapeDnValue("R\\5CD"), "R\\D");
  EXPECT_EQ(UnescapeDnValue("R\\\\D"), "R\\D");
  EXPECT_EQ(UnescapeDnValue("\\E5\\8C\\97"), "北");
  EXPECT_EQ(UnescapeDnValue("end\\"), "end\\");  // a lone trailing backslash stays
}

TEST(DnTextTest, OuNamesOfLiveAndDeletedUnits) {
  EXPECT_EQ(OuNameOf("OU=Sales,OU=Corp,DC=corp", ","), "Sales");
  EXPECT_EQ(OuNameOf("ou=East,o=corp", ","), "East");
  EXPECT_EQ(OuNameOf("OU=Sales\\, East,OU=Corp", ","), "Sales, East");
  EXPECT_EQ(OuNameOf("OU=销售二部,OU=Sales", ","), "销售二部");
  EXPECT_EQ(OuNameOf("OU=Sales\\0ADEL:1b2c3d4e-0000-1111-2222-333344445555,CN=Deleted "
                     "Objects,DC=corp",
                     "\\"),
            "Sales");
  EXPECT_EQ(OuNameOf("OU=Sales\\, East\\0ADEL:guid,CN=Deleted Objects", "\\"), "Sales, East");
  EXPECT_EQ(OuNameOf("CN=Users,DC=corp", ","), "");
  EXPECT_EQ(OuNameOf("OU=Last", ","), "Last");
  EXPECT_EQ(OuNameOf("OU=R\\\\D\\0ADEL:guid,CN=Deleted Objects", "\\"), "R\\D");
}

TEST(DnTextTest, DnsNameOfNamingContext) {
  EXPECT_EQ(DnsNameOfDn("DC=corp,DC=example,DC=com"), "corp.example.com");
  EXPECT_EQ(DnsNameOfDn("ou=x, dc=Test,dc=COM"), "test.com");
  EXPECT_EQ(DnsNameOfDn("o=corp"), "");
}

TEST(TextConversionTest, ToServerTextNormalisesOnlyWhenAsked) {
  EXPECT_EQ(CLdapClient::ToServerText(" (cn=Smith, John) ", true), "(cn=Smith,John)");
  EXPECT_EQ(CLdapClient::ToServerText(" OU=Sales , DC=corp", true), "OU=Sales ,DC=corp");
  EXPECT_EQ(CLdapClient::ToServerText("   ", true), "");
  EXPECT_EQ(CLdapClient::ToServerText(" pass word ", false), " pass word ");
}

TEST(TextConversionTest, FromServerTextKeepsUtf8AndReplacesBinary) {
  EXPECT_EQ(CLdapClient::FromServerText("销售, 二部", true), "销售,二部");
  EXPECT_EQ(CLdapClient::FromServerText("\xff\xfe"
                                        "ab",
                                        false),
            "??ab");
  EXPECT_EQ(CLdapClient::FromServerText(std::string("ab\0cd", 5), false), "ab");
  EXPECT_EQ(CLdapClient::FromServerText("\xe5\xbc", false), "??");       // cut character
  EXPECT_EQ(CLdapClient::FromServerText("\xc0\xaf", false), "??");       // overlong '/'
  EXPECT_EQ(CLdapClient::FromServerText("\xed\xa0\x80", false), "???");  // surrogate
  EXPECT_EQ(CLdapClient::FromServerText("\xf0\x9f\x98\x80", false), "\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace norvane
