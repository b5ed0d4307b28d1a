// Switching accounts between local and directory authentication, against zeltod, with the
// authentication service answering directory logins from slapd.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/auth_service.h"
#include "server/auth_switch.h"
#include "server/sdk.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::Login;
using testing::RecordingPrompt;
using testing::ZeltoAuthType;

const std::string kAlice = "uid=alice,ou=Sales,o=corp";
const std::string kBob = "uid=bob,ou=East,ou=Sales,o=corp";
const std::string kCarol = "uid=carol,ou=Engineering,o=corp";
const std::string kDave = "uid=dave,ou=Platform,ou=Engineering,o=corp";

class AuthSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    // An organisation with accounts at the top, in departments and in a nested one, one of
    // them in two departments; every account starts local with an IM password.
    ASSERT_EQ(zeltod_.Ctl({"add-dept", "Sales\\"}), 0);
    ASSERT_EQ(zeltod_.Ctl({"add-dept", "Sales\\East\\"}), 0);
    ASSERT_EQ(zeltod_.Ctl({"add-dept", "Engineering\\"}), 0);
    for (const auto& [account, path] :
         std::vector<std::pair<std::string, std::string>>{{kAlice, "Sales\\"},
                                                          {kBob, "Sales\\East\\"},
                                                          {kCarol, "Engineering\\"},
                                                          {kDave, ""}}) {
      std::vector<std::string> args = {"add-user", account};
      if (!path.empty()) args.push_back(path);
      ASSERT_EQ(zeltod_.Ctl(args), 0) << account;
      ASSERT_EQ(zeltod_.Ctl({"passwd", account}, nullptr, "zelto-pass\n"), 0);
    }
    root_ = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(root_);
    root_->SetServerAddress(zeltod_.Host());
    root_->SetServerPort(zeltod_.AppPort());
    root_->DeptManager()->MoveUser(kBob, "", "Engineering\\", 0);
  }

  std::vector<int> Types() {
    return {ZeltoAuthType(zeltod_, kAlice), ZeltoAuthType(zeltod_, kBob),
            ZeltoAuthType(zeltod_, kCarol), ZeltoAuthType(zeltod_, kDave)};
  }

  AuthBase base_;
  Zeltod zeltod_;
  std::unique_ptr<SdkRoot> root_;
  RecordingPrompt prompt_;
  ShowMessage show_ = [this](const std::string& text) { prompt_.Show(text); };
};

TEST_F(AuthSwitch, TheOrganisationIsListedOnceEachDepthFirst) {
  std::vector<std::string> accounts;
  ASSERT_TRUE(CollectOrganisationAccounts(*root_->DeptManager(), accounts));
  // The top's own accounts first, then each department's content; bob (in two departments)
  // once.
  EXPECT_EQ(accounts, (std::vector<std::string>{kDave, kAlice, kBob, kCarol}));
}

TEST_F(AuthSwitch, AllUsersToDirectoryAndBackRestoresImPasswordLogins) {
  testing::Slapd slapd;
  ASSERT_TRUE(slapd.Start());
  AuthConfigSpec settings;
  settings.ldap_port = slapd.port();
  settings.admin = slapd.admin_dn();
  settings.password = slapd.admin_password();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  AuthService service(&prompt_);
  ASSERT_EQ(service.Init(), 1);
  ASSERT_EQ(service.Start(), 1);
  SdkApplication* app = root_->Application();

  EXPECT_EQ(Login(zeltod_, kCarol, "zelto-pass"), 0);
  EXPECT_EQ(SetAuthType(true, app, root_->DeptManager(), {}, kAuthScopeAllUsers,
                        kThirdPartyAuthType, show_),
            1);
  EXPECT_EQ(Types(), (std::vector<int>{3, 3, 3, 3}));
  EXPECT_EQ(Login(zeltod_, kCarol, "carol-pass"), 0);
  EXPECT_EQ(Login(zeltod_, kCarol, "zelto-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kDave, "dave-pass"), 0);

  EXPECT_EQ(
      SetAuthType(true, app, root_->DeptManager(), {}, kAuthScopeAllUsers, kLocalAuthType, show_),
      1);
  EXPECT_EQ(Types(), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(Login(zeltod_, kCarol, "zelto-pass"), 0);
  EXPECT_EQ(Login(zeltod_, kCarol, "carol-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kDave, "zelto-pass"), 0);
  EXPECT_TRUE(prompt_.Texts().empty());
}

TEST_F(AuthSwitch, AFailureAtTheThirdAccountLeavesTheFirstTwoSwitched) {
  SdkApplication* app = root_->Application();
  EXPECT_EQ(SetAuthTypeForAccounts(true, app, {kAlice, kBob, "uid=nobody,o=corp", kCarol},
                                   kThirdPartyAuthType, show_),
            0);
  EXPECT_EQ(Types(), (std::vector<int>{3, 3, 0, 0}));
  EXPECT_EQ(prompt_.Texts(),
            std::vector<std::string>{"调用新的Zelto SDK设置用户认证类型接口失败!"});
  EXPECT_TRUE(base_.Logged("发生错误!"));
}

TEST_F(AuthSwitch, NothingToDoIsSuccessAndAnUnknownScopeIsNot) {
  SdkApplication* app = root_->Application();
  EXPECT_EQ(SetAuthType(true, app, root_->DeptManager(), {}, kAuthScopeSpecified,
                        kThirdPartyAuthType, show_),
            1);
  EXPECT_EQ(SetAuthType(true, app, root_->DeptManager(), {kAlice}, 2, kThirdPartyAuthType, show_),
            0);
  EXPECT_EQ(SetAuthType(true, app, root_->DeptManager(), {kAlice}, -1, kThirdPartyAuthType, show_),
            0);
  // Without an SDK connection nothing is changed, and that counts as success.
  EXPECT_EQ(SetAuthType(false, app, root_->DeptManager(), {kAlice}, kAuthScopeSpecified,
                        kThirdPartyAuthType, show_),
            1);
  EXPECT_EQ(SetAuthTypeForAccounts(true, nullptr, {kAlice}, kThirdPartyAuthType, show_), 1);
  EXPECT_EQ(Types(), (std::vector<int>{0, 0, 0, 0}));
  // Scope 1 switches exactly the specified accounts.
  EXPECT_EQ(SetAuthType(true, app, root_->DeptManager(), {kBob, kDave}, kAuthScopeSpecified,
                        kThirdPartyAuthType, show_),
            1);
  EXPECT_EQ(Types(), (std::vector<int>{0, 3, 0, 3}));
  EXPECT_TRUE(prompt_.Texts().empty());
}

TEST_F(AuthSwitch, AnOrganisationThatCannotBeListedSwitchesNobody) {
  SdkApplication* app = root_->Application();
  auto other = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  ASSERT_TRUE(zeltod_.Stop());
  EXPECT_EQ(SetAuthType(true, app, other->DeptManager(), {}, kAuthScopeAllUsers,
                        kThirdPartyAuthType, show_),
            0);
  EXPECT_TRUE(base_.Logged("发生错误!"));
  ASSERT_TRUE(zeltod_.Start());
  EXPECT_EQ(Types(), (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace norvane
