#include "platform/xml.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/files.h"

namespace norvane {
namespace {

class XmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/norvane-xml-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST_F(XmlTest, LookupIsCaseInsensitiveAndFirstMatchWins) {
  XmlDocument doc;
  ASSERT_TRUE(
      doc.LoadXml("<LdapConfig><sysconfig A='1'/><SYSCONFIG "
                  "A='2'/><AllowDC><ChildDC/></AllowDC></LdapConfig>"));
  XmlElement sys = doc.Root().FirstChild("SysConfig");
  ASSERT_TRUE(sys);
  EXPECT_EQ(sys.Attribute("A"), "1");
  EXPECT_EQ(sys.Attribute("Missing"), "");
  EXPECT_FALSE(sys.HasAttribute("a"));  // attribute names are exact
  EXPECT_FALSE(doc.Root().FirstChild("Nothing"));
  EXPECT_EQ(doc.Root().Children().size(), 3u);
}

TEST_F(XmlTest, RejectsWhatIsNotADocument) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadXml(""));
  EXPECT_FALSE(doc.LoadXml("<a><b></a>"));
  EXPECT_FALSE(doc.LoadXml("just text"));
  EXPECT_FALSE(doc.Root());
  // Bytes that are not UTF-8 in a document that says it is.
  EXPECT_FALSE(doc.LoadXml("<?xml version='1.0' encoding='UTF-8'?><a b='\xff\xfe'/>"));
  EXPECT_FALSE(doc.Load(dir_ + "/missing.xml"));
}

TEST_F(XmlTest, EditsSurviveASaveAndReload) {
  XmlDocument doc;
  XmlElement root = doc.CreateRoot("LdapConfig");
  XmlElement limit = root.AppendChild("LimitUser");
  limit.AppendChild("User").SetText("a&b<c>");
  limit.AppendChild("User").SetText("张三");
  root.AppendChild("SysConfig").SetAttribute("DC", "dc=x,dc=\"y\"");
  EXPECT_FALSE(root.SetAttribute("", "v"));
  EXPECT_FALSE(root.AppendChild("bad name"));
  const std::string path = dir_ + "/c.xml";
  ASSERT_TRUE(doc.Save(path));

  XmlDocument again;
  ASSERT_TRUE(again.Load(path));
  auto users = again.Root().FirstChild("limituser").Children();
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].Text(), "a&b<c>");
  EXPECT_EQ(users[1].Text(), "张三");
  EXPECT_EQ(again.Root().FirstChild("SysConfig").Attribute("DC"), "dc=x,dc=\"y\"");

  users[0].Remove();
  EXPECT_EQ(again.Root().FirstChild("LimitUser").Children().size(), 1u);
}

TEST_F(XmlTest, Gb2312RoundTrip) {
  XmlDocument doc;
  XmlElement root = doc.CreateRoot("enterprise");
  root.AppendChild("department").SetAttribute("name", "研发中心");
  const std::string path = dir_ + "/org.xml";
  ASSERT_TRUE(doc.Save(path, "GB2312"));
  std::string raw;
  ASSERT_TRUE(ReadFile(path, &raw));
  EXPECT_NE(raw.find("encoding=\"GB2312\""), std::string::npos);
  EXPECT_EQ(raw.find("研发中心"), std::string::npos);  // stored in GB2312, not UTF-8
  XmlDocument again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.Root().FirstChild("department").Attribute("name"), "研发中心");
}

TEST_F(XmlTest, AttributesKeepDocumentOrder) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<user uid='1' name='2' email='3'/>"));
  auto attrs = doc.Root().Attributes();
  ASSERT_EQ(attrs.size(), 3u);
  EXPECT_EQ(attrs[0].first, "uid");
  EXPECT_EQ(attrs[2].first, "email");
  EXPECT_TRUE(doc.Root().RemoveAttribute("name"));
  EXPECT_FALSE(doc.Root().RemoveAttribute("name"));
  EXPECT_EQ(doc.Root().Attributes().size(), 2u);
}

}  // namespace
}  // namespace norvane
