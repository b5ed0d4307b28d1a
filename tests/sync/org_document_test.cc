#include "sync/org_document.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/files.h"
#include "sync/ou_identities.h"

namespace norvane {
namespace {

class OrgDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/norvane-orgdoc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    current_ = dir_ + "/test.xml";
    preview_ = dir_ + "/testTmp.xml";
    ASSERT_TRUE(WriteEmptyOrgDocument(current_));
    ASSERT_TRUE(WriteEmptyOrgDocument(preview_));
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Content(const std::string& path) {
    std::string s;
    ReadFile(path, &s);
    return s;
  }

  std::string dir_, current_, preview_;
};

TEST_F(OrgDocumentTest, EmptyDocumentIsExactlyOneLine) {
  std::string s = Content(current_);
  EXPECT_EQ(s,
            "<?xml version=\"1.0\" encoding=\"GB2312\"?><enterprise name=\" \" postcode=\" \" "
            "address=\" \" phone=\" \" email=\" \"><departments></departments></enterprise>");
}

TEST_F(OrgDocumentTest, FreshInstallationResetFindsNothingAndBaseIsCreated) {
  OrgDocument doc;
  EXPECT_EQ(doc.ResetOrgDocument(current_, preview_, "DC=corp,DC=com"), 0);
  XmlElement base = doc.OpenBaseElement("DC=corp,DC=com", current_);
  ASSERT_TRUE(base);
  EXPECT_EQ(base.Attribute("name"), "corp.com");
  EXPECT_EQ(base.Attribute("describe"), "DC=corp,DC=com");
  // Saved at once, and found again (not duplicated) by the next open.
  OrgDocument again;
  XmlElement base2 = again.OpenBaseElement("dc=CORP,dc=com", current_);
  ASSERT_TRUE(base2);
  EXPECT_EQ(base2.Attribute("describe"), "dc=CORP,dc=com");
  EXPECT_EQ(again.DepartmentCount(), 1u);
}

TEST_F(OrgDocumentTest, UnloadableFileGivesNoBase) {
  OrgDocument doc;
  EXPECT_FALSE(doc.OpenBaseElement("DC=corp,DC=com", dir_ + "/missing.xml"));
  ASSERT_TRUE(WriteFileAtomically(current_, "<not-closed>"));
  EXPECT_FALSE(doc.OpenBaseElement("DC=corp,DC=com", current_));
}

TEST_F(OrgDocumentTest, RecordsUnderBaseAndFindsByKeyIgnoringCase) {
  OrgDocument doc;
  XmlElement base = doc.OpenBaseElement("DC=corp,DC=com", current_);
  ASSERT_TRUE(base);
  // Departments directly under the base are recorded under the base's own element.
  EXPECT_EQ(doc.AddDeptElement(base, "DC=corp,DC=com", "OU=HQ,DC=corp,DC=com"), 1);
  EXPECT_EQ(doc.AddDeptElement(base, "OU=HQ,DC=corp,DC=com", "OU=Sales,OU=HQ,DC=corp,DC=com"), 1);
  // Same name again under the same parent: nothing added.
  EXPECT_EQ(doc.AddDeptElement(base, "ou=hq,dc=corp,dc=com", "OU=SALES,OU=HQ,DC=corp,DC=com"), 1);
  // A parent without an element: not recorded.
  EXPECT_EQ(doc.AddDeptElement(base, "OU=Nowhere,DC=corp,DC=com", "OU=X,OU=Nowhere,DC=corp,DC=com"),
            0);
  EXPECT_EQ(doc.DepartmentCount(), 3u);

  XmlElement sales = doc.FindDeptElement(base, "ou=sales,ou=hq,dc=corp,dc=com");
  ASSERT_TRUE(sales);
  EXPECT_EQ(sales.Attribute("name"), "Sales");
  EXPECT_EQ(sales.Parent().Attribute("name"), "HQ");
  EXPECT_FALSE(doc.FindDeptElement(base, "OU=X,OU=Nowhere,DC=corp,DC=com"));
  // The search stays below its start.
  XmlElement hq = doc.FindDeptElement(base, "OU=HQ,DC=corp,DC=com");
  EXPECT_FALSE(doc.FindDeptElement(sales, "OU=HQ,DC=corp,DC=com"));
  EXPECT_EQ(doc.FindDeptElement(hq, "OU=HQ,DC=corp,DC=com"), hq);
}

TEST_F(OrgDocumentTest, SavedDocumentIsGb2312AndKeepsChineseNames) {
  OrgDocument doc;
  XmlElement base = doc.OpenBaseElement("DC=corp,DC=com", current_);
  ASSERT_TRUE(base);
  doc.AddDeptElement(base, "DC=corp,DC=com", "OU=总部,DC=corp,DC=com");
  ASSERT_TRUE(doc.Save());
  std::string raw = Content(current_);
  EXPECT_NE(raw.find("encoding=\"GB2312\""), std::string::npos);
  EXPECT_EQ(raw.find("总部"), std::string::npos);              // not UTF-8 on disk
  EXPECT_NE(raw.find("\xD7\xDC\xB2\xBF"), std::string::npos);  // GB2312 bytes of 总部

  OrgDocument reread;
  XmlElement base2 = reread.OpenBaseElement("DC=corp,DC=com", current_);
  ASSERT_TRUE(base2);
  XmlElement hq = reread.FindDeptElement(base2, "OU=总部,DC=corp,DC=com");
  ASSERT_TRUE(hq);
  EXPECT_EQ(hq.Attribute("name"), "总部");
}

TEST_F(OrgDocumentTest, ResetCopiesTheLastDomainSubtreeOfThePreview) {
  ASSERT_TRUE(WriteFileAtomically(
      preview_,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><enterprise><departments>"
      "<department name=\"corp.com\" describe=\"first\"><department name=\"Old\" "
      "describe=\"OU=Old,DC=corp,DC=com\"/></department>"
      "<department name=\"other.com\" describe=\"DC=other,DC=com\"/>"
      "<department name=\"CORP.COM\" describe=\"second\"><department name=\"HQ\" "
      "describe=\"OU=HQ,DC=corp,DC=com\"/></department>"
      "</departments></enterprise>"));
  OrgDocument doc;
  EXPECT_EQ(doc.ResetOrgDocument(current_, preview_, "DC=corp,DC=com"), 1);
  XmlElement base = doc.OpenBaseElement("DC=corp,DC=com", current_);
  ASSERT_TRUE(base);
  EXPECT_EQ(base.Attribute("describe"), "DC=corp,DC=com");
  EXPECT_TRUE(doc.FindDeptElement(base, "OU=HQ,DC=corp,DC=com"));
  EXPECT_FALSE(doc.FindDeptElement(base, "OU=Old,DC=corp,DC=com"));
  EXPECT_EQ(doc.DepartmentCount(), 2u);

  // A later reset starts again from the empty document.
  ASSERT_TRUE(WriteEmptyOrgDocument(preview_));
  EXPECT_EQ(doc.ResetOrgDocument(current_, preview_, "DC=corp,DC=com"), 0);
  OrgDocument fresh;
  fresh.OpenBaseElement("DC=corp,DC=com", current_);
  EXPECT_EQ(fresh.DepartmentCount(), 1u);
}

TEST_F(OrgDocumentTest, ManyDepartmentsStayFindable) {
  OrgDocument doc;
  XmlElement base = doc.OpenBaseElement("DC=c", current_);
  ASSERT_TRUE(base);
  for (int i = 0; i < 2000; ++i) {
    std::string parent = "OU=p" + std::to_string(i % 20) + ",DC=c";
    if (i < 20) parent = "DC=c";
    std::string key =
        i < 20 ? "OU=p" + std::to_string(i) + ",DC=c" : "OU=k" + std::to_string(i) + "," + parent;
    ASSERT_EQ(doc.AddDeptElement(base, parent, key), 1) << key;
  }
  EXPECT_EQ(doc.DepartmentCount(), 2001u);
  EXPECT_TRUE(doc.FindDeptElement(base, "OU=k1999,OU=p19,DC=c"));
}

// The identity record of a domain's OUs: follows renames of whole components only, and a
// save keeps the other domains' records.
TEST_F(OrgDocumentTest, OuIdentitiesFollowRenamesAndKeepOtherDomains) {
  const std::string path = dir_ + "/ou-ids.json";
  OuIdentities other;
  other.Load(path, "DC=other");
  other.Set("99", "OU=Z,DC=other");
  ASSERT_TRUE(other.Save());

  OuIdentities ids;
  ids.Load(path, "OU=Base,DC=corp");
  EXPECT_EQ(ids.size(), 0u);
  ids.ReplaceBelow("OU=Base,DC=corp", {{"01", "OU=P,OU=Base,DC=corp"},
                                       {"02", "OU=C,OU=P,OU=Base,DC=corp"},
                                       {"03", "OU=PX,OU=Base,DC=corp"}});
  // OU=P is not a prefix match of OU=PX; case and blanks do not matter.
  ids.Rebase("ou=p, ou=base,DC=corp", "OU=Q,OU=Base,DC=corp");
  EXPECT_EQ(*ids.Find("01"), "OU=Q,OU=Base,DC=corp");
  EXPECT_EQ(*ids.Find("02"), "OU=C,OU=Q,OU=Base,DC=corp");
  EXPECT_EQ(*ids.Find("03"), "OU=PX,OU=Base,DC=corp");
  ids.Erase("03");
  EXPECT_EQ(ids.Find("03"), nullptr);
  ASSERT_TRUE(ids.Save());

  OuIdentities again;
  again.Load(path, "ou=base,dc=corp");
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(*again.Find("02"), "OU=C,OU=Q,OU=Base,DC=corp");
  // A complete read of the base replaces what was recorded below it, and nothing else.
  again.Set("05", "OU=R,OU=Base,DC=corp");
  again.ReplaceBelow("OU=Q,OU=Base,DC=corp", {{"04", "OU=D,OU=Q,OU=Base,DC=corp"}});
  EXPECT_EQ(again.Find("01"), nullptr);
  EXPECT_EQ(again.Find("02"), nullptr);
  EXPECT_NE(again.Find("04"), nullptr);
  EXPECT_NE(again.Find("05"), nullptr);
  other.Load(path, "DC=other");
  EXPECT_EQ(*other.Find("99"), "OU=Z,DC=other");
  // A damaged file reads as no record rather than failing the run.
  ASSERT_TRUE(WriteFileAtomically(path, "{not json"));
  again.Load(path, "OU=Base,DC=corp");
  EXPECT_EQ(again.size(), 0u);
}

}  // namespace
}  // namespace norvane
