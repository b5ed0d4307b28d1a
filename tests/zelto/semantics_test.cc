// The organisation semantics of zeltod, driven through the SDK component against a real
// server process with a fresh database.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

class ZeltodSemantics : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    root_ = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(root_);
    dept_ = root_->DeptManager();
    user_ = root_->UserManager();
  }

  // The code of the SdkError the call throws, or 0 when it does not throw.
  template <typename Fn>
  long ErrorCode(Fn&& fn, std::string* description = nullptr) {
    try {
      fn();
    } catch (const SdkError& e) {
      if (description) *description = e.description;
      return e.code;
    }
    return 0;
  }

  Zeltod zeltod_;
  std::unique_ptr<SdkRoot> root_;
  SdkDeptManager* dept_ = nullptr;
  SdkUserManager* user_ = nullptr;
};

TEST_F(ZeltodSemantics, DepartmentsFormATreeOfPaths) {
  dept_->AddDepartment("HQ", "");
  dept_->AddDepartment("Sales", "HQ\\");
  dept_->CreateDepartmentUnderParent("HQ\\Sales\\", "East", 0);
  dept_->AddDepartment("Lab", "");

  EXPECT_EQ(dept_->ChildDepartments(""),
            "<Departments><Department Name=\"HQ\"/><Department Name=\"Lab\"/></Departments>");
  EXPECT_EQ(dept_->ChildDepartments("HQ\\"),
            "<Departments><Department Name=\"Sales\"/></Departments>");
  EXPECT_EQ(dept_->ChildDepartments("HQ\\Sales\\East\\"), "<Departments></Departments>");
  EXPECT_TRUE(dept_->DepartmentExists("HQ\\Sales\\East\\"));
  EXPECT_TRUE(dept_->DepartmentExists("East"));
  EXPECT_TRUE(dept_->DepartmentExists(""));
  EXPECT_FALSE(dept_->DepartmentExists("HQ\\West\\"));
  EXPECT_FALSE(dept_->DepartmentExists("West"));
  EXPECT_FALSE(dept_->DepartmentExists("HQ\\\\Sales\\"));  // malformed names nothing
}

TEST_F(ZeltodSemantics, NamesAndPathsIgnoreAsciiCase) {
  dept_->AddDepartment("Sales", "");
  dept_->AddDepartment("East", "SALES\\");
  EXPECT_TRUE(dept_->DepartmentExists("sales\\EAST\\"));
  EXPECT_EQ(kSdkErrorExists, ErrorCode([&] { dept_->AddDepartment("sAlEs", ""); }));

  user_->AddUser("Alice", 0);
  EXPECT_TRUE(user_->UserExists("ALICE"));
  EXPECT_EQ(kSdkErrorExists, ErrorCode([&] { user_->AddUser("alice", 0); }));
  // Only ASCII letters fold: these two are different names.
  dept_->AddDepartment("Été", "");
  dept_->AddDepartment("éTé", "");
  std::string top = dept_->ChildDepartments("");
  EXPECT_NE(top.find("\"Été\""), std::string::npos) << top;
  EXPECT_NE(top.find("\"éTé\""), std::string::npos) << top;
}

TEST_F(ZeltodSemantics, ParentsOfANameListEveryPlaceItIs) {
  dept_->AddDepartment("HQ", "");
  dept_->AddDepartment("Branch", "");
  dept_->AddDepartment("Sales", "HQ\\");
  dept_->AddDepartment("Sales", "Branch\\");
  dept_->AddDepartment("Sales", "");
  EXPECT_EQ(dept_->ParentsOfDepartment("HQ"), ";");
  EXPECT_EQ(dept_->ParentsOfDepartment("sales"), "HQ\\;Branch\\;;");

  std::string why;
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->ParentsOfDepartment("Nowhere"); }, &why));
  EXPECT_NE(why.find("Nowhere"), std::string::npos);
}

TEST_F(ZeltodSemantics, AnAmbiguousBareNameIsAnErrorThatSaysSo) {
  dept_->AddDepartment("A", "");
  dept_->AddDepartment("B", "");
  dept_->AddDepartment("Ops", "A\\");
  dept_->AddDepartment("Ops", "B\\");
  std::string why;
  EXPECT_EQ(kSdkErrorPrecondition, ErrorCode([&] { dept_->RemoveDepartment("Ops", 0); }, &why));
  EXPECT_NE(why.find("ambiguous"), std::string::npos) << why;
  EXPECT_NE(why.find("A\\Ops\\"), std::string::npos) << why;
  // Nothing was removed; a path still works.
  dept_->RemoveDepartment("A\\Ops\\", 0);
  EXPECT_FALSE(dept_->DepartmentExists("A\\Ops\\"));
  EXPECT_TRUE(dept_->DepartmentExists("B\\Ops\\"));
  // The one left is now unambiguous by name.
  dept_->RenameDepartment("Ops", "Operations");
  EXPECT_TRUE(dept_->DepartmentExists("B\\Operations\\"));
}

TEST_F(ZeltodSemantics, RemovingADepartmentTakesItsSubtreeButKeepsTheUsers) {
  dept_->AddDepartment("HQ", "");
  dept_->AddDepartment("Sales", "HQ\\");
  dept_->AddDepartment("East", "HQ\\Sales\\");
  dept_->AddDepartment("Lab", "");
  user_->AddUser("ann", 0);
  user_->AddUser("bob", 0);
  dept_->MoveUser("ann", "", "HQ\\Sales\\East\\", 0);
  dept_->MoveUser("bob", "", "HQ\\", 0);
  dept_->MoveUser("bob", "", "Lab\\", 0);

  dept_->RemoveDepartment("HQ\\", 0);
  EXPECT_FALSE(dept_->DepartmentExists("HQ\\Sales\\East\\"));
  EXPECT_FALSE(dept_->DepartmentExists("Sales"));
  EXPECT_TRUE(user_->UserExists("ann"));
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"), "<Departments></Departments>");
  EXPECT_EQ(dept_->DepartmentsOfUser("bob"),
            "<Departments><Department Name=\"Lab\\\"/></Departments>");
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users><User Name=\"ann\"/></Users>");
}

TEST_F(ZeltodSemantics, RenameAndMoveKeepSubtreeAndMemberships) {
  dept_->AddDepartment("HQ", "");
  dept_->AddDepartment("Sales", "HQ\\");
  dept_->AddDepartment("East", "HQ\\Sales\\");
  dept_->AddDepartment("Regions", "");
  user_->AddUser("ann", 0);
  dept_->MoveUser("ann", "", "HQ\\Sales\\East\\", 0);

  dept_->RenameDepartment("HQ\\Sales\\", "Market");
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"),
            "<Departments><Department Name=\"HQ\\Market\\East\\\"/></Departments>");
  dept_->MoveDepartment("HQ\\Market\\", "Regions\\");
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"),
            "<Departments><Department Name=\"Regions\\Market\\East\\\"/></Departments>");
  EXPECT_EQ(dept_->ChildDepartments("HQ\\"), "<Departments></Departments>");
  dept_->MoveDepartment("Regions\\Market\\", "");
  EXPECT_TRUE(dept_->DepartmentExists("Market\\East\\"));

  // A department cannot go under itself, nor clash with a sibling.
  EXPECT_EQ(kSdkErrorInvalidArg,
            ErrorCode([&] { dept_->MoveDepartment("Market\\", "Market\\East\\"); }));
  dept_->AddDepartment("East", "");
  EXPECT_EQ(kSdkErrorExists, ErrorCode([&] { dept_->MoveDepartment("Market\\East\\", ""); }));
  EXPECT_EQ(kSdkErrorExists, ErrorCode([&] { dept_->RenameDepartment("Market\\", "east"); }));
  dept_->RenameDepartment("Market\\", "MARKET");  // its own name in another case is fine
  // Children are listed in the order the departments were created.
  EXPECT_EQ(dept_->ChildDepartments(""),
            "<Departments><Department Name=\"HQ\"/><Department Name=\"MARKET\"/>"
            "<Department Name=\"Regions\"/><Department Name=\"East\"/></Departments>");
}

TEST_F(ZeltodSemantics, UsersBelongToAnyNumberOfDepartments) {
  dept_->AddDepartment("A", "");
  dept_->AddDepartment("B", "");
  user_->AddUser("ann", 3);
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users><User Name=\"ann\"/></Users>");
  dept_->MoveUser("ann", "", "B\\", 0);
  dept_->MoveUser("ann", "", "A\\", 0);
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"),
            "<Departments><Department Name=\"B\\\"/><Department Name=\"A\\\"/></Departments>");
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users></Users>");
  EXPECT_EQ(dept_->DepartmentUsers("A\\"), "<Users><User Name=\"ann\"/></Users>");

  dept_->MoveUser("ann", "B\\", "", 0);  // "" as the new path: no new membership
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"),
            "<Departments><Department Name=\"A\\\"/></Departments>");
  dept_->TakeUserOutOfDepartment("ann", "A\\");
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"), "<Departments></Departments>");
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users><User Name=\"ann\"/></Users>");
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->TakeUserOutOfDepartment("ann", "A\\"); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->MoveUser("ann", "B\\", "A\\", 0); }));
  EXPECT_EQ(dept_->DepartmentsOfUser("ann"), "<Departments></Departments>");  // unchanged

  user_->RemoveUser("ann");
  EXPECT_FALSE(user_->UserExists("ann"));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { user_->RemoveUser("ann"); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->DepartmentsOfUser("ann"); }));
}

// Pipelined writes of 3000 users, with a duplicate now and then, and `interrupt` called
// half way while calls are in flight; after a restart every acknowledged user is there.
template <typename Interrupt>
void WriteThroughAnInterruption(Zeltod& zeltod, SdkRoot* root, Interrupt interrupt) {
  root->DeptManager()->AddDepartment("HQ", "");
  root->UserManager()->AddUser("taken", 0);
  root->SetCallTimeout(std::chrono::seconds(3));
  std::vector<std::string> acknowledged;
  int failed = 0, duplicates_refused = 0;
  {
    SdkPipeline pipeline(root, 32);
    for (int i = 0; i < 3000; ++i) {
      const std::string account = "u" + std::to_string(i);
      std::vector<SdkPipeline::Call> calls;
      calls.push_back(pipeline.AddUser(account, 0));
      calls.push_back(pipeline.MoveUser(account, "", "HQ\\", 0));
      pipeline.Send(account, std::move(calls), [&, account](const SdkError* e) {
        if (!e) acknowledged.push_back(account);
        if (e) ++failed;
      });
      // A duplicate in the same batches as the others.
      if (i % 100 == 0) {
        pipeline.Send("taken" + account, {pipeline.AddUser("taken", 0)}, [&](const SdkError* e) {
          if (e && e->code == kSdkErrorExists) ++duplicates_refused;
        });
      }
      if (i == 2000) interrupt();
    }
    pipeline.Wait();
  }
  EXPECT_GT(acknowledged.size(), 1900u);
  EXPECT_GT(failed, 0);
  EXPECT_GT(duplicates_refused, 10);

  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  const std::string members = root->DeptManager()->DepartmentUsers("HQ\\");
  for (const std::string& account : acknowledged) {
    EXPECT_NE(members.find("<User Name=\"" + account + "\"/>"), std::string::npos) << account;
  }
}

// Writes in flight together are committed together; each is answered only once it is
// durable, and a refused write undoes only itself. Killed with writes in flight, the
// server keeps every write it acknowledged.
TEST_F(ZeltodSemantics, GroupCommitKeepsEveryAcknowledgedWriteThroughAKill) {
  WriteThroughAnInterruption(zeltod_, root_.get(), [&] { zeltod_.Kill(); });
}

// The writes in flight are answered by the store's thread: stopping the server waits for
// them and still exits cleanly.
TEST_F(ZeltodSemantics, StoppingWithWritesInFlightExitsCleanlyAndKeepsThem) {
  WriteThroughAnInterruption(zeltod_, root_.get(), [&] { EXPECT_TRUE(zeltod_.Stop()); });
}

// Tasks travel together in one call, yet each ends at its own first refusal: the writes
// before it stay, those after it are not run, the task queued behind it under the same key
// ends unsent, and the other tasks of the call are untouched.
TEST_F(ZeltodSemantics, PipelinedTasksEndAtTheirOwnFirstRefusal) {
  dept_->AddDepartment("HQ", "");
  user_->AddUser("old", 0);
  std::vector<std::string> outcome(5);
  auto record = [&](int i) {
    return [&outcome, i](const SdkError* e) {
      outcome[i] = e ? std::to_string(e->code) + " " + e->source + " " + e->description : "ok";
    };
  };
  {
    SdkPipeline pipeline(root_.get(), 16);
    pipeline.Send("ann",
                  {pipeline.AddUser("ann", 0), pipeline.MoveUser("ann", "", "Nowhere\\", 0),
                   pipeline.SetUserBasicInfo("ann", "Ann", 1, "", "", "", 0)},
                  record(0));
    pipeline.Send("ann", {pipeline.SetUserBasicInfo("ann", "Late", 1, "", "", "", 0)}, record(1));
    pipeline.Send("bob", {pipeline.AddUser("bob", 0), pipeline.MoveUser("bob", "", "HQ\\", 0)},
                  record(2));
    pipeline.Send("", {pipeline.AddUser("", 0), pipeline.AddUser("never", 0)}, record(3));
    pipeline.Send("old",
                  {pipeline.SetUserAuthType("old", 3),
                   pipeline.SetUserBasicInfo("old", "Old Hand", 1, "", "", "", -1)},
                  record(4));
    pipeline.Wait();
  }
  EXPECT_EQ(outcome[0].rfind(std::to_string(kSdkErrorNotFound), 0), 0u) << outcome[0];
  EXPECT_NE(outcome[0].find("MoveUser"), std::string::npos) << outcome[0];
  EXPECT_NE(outcome[0].find("Nowhere"), std::string::npos) << outcome[0];
  EXPECT_EQ(outcome[1], outcome[0]);
  EXPECT_EQ(outcome[2], "ok");
  EXPECT_EQ(outcome[3].rfind(std::to_string(kSdkErrorInvalidArg), 0), 0u) << outcome[3];
  EXPECT_EQ(outcome[4], "ok");

  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("{\"account\": \"ann\", \"name\": \"\", "), std::string::npos) << out;
  EXPECT_NE(out.find("\"account\": \"bob\""), std::string::npos) << out;
  EXPECT_EQ(dept_->DepartmentUsers("HQ\\"), "<Users><User Name=\"bob\"/></Users>");
  EXPECT_FALSE(user_->UserExists("never"));
  const std::size_t old = out.find("\"account\": \"old\", \"name\": \"Old Hand\"");
  ASSERT_NE(old, std::string::npos) << out;
  EXPECT_NE(out.substr(old, out.find('}', old) - old).find("\"authType\": 3"), std::string::npos)
      << out;
}

TEST_F(ZeltodSemantics, XmlAnswersEscapeMarkup) {
  dept_->AddDepartment("R&D <\"x\">", "");
  user_->AddUser("o'neil", 0);
  EXPECT_EQ(dept_->ChildDepartments(""),
            "<Departments><Department Name=\"R&amp;D &lt;&quot;x&quot;&gt;\"/></Departments>");
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users><User Name=\"o&apos;neil\"/></Users>");
}

TEST_F(ZeltodSemantics, BadNamesAndUnknownsAreRefusedWithoutChange) {
  std::string why;
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { dept_->AddDepartment("", ""); }, &why));
  EXPECT_NE(why.find("empty"), std::string::npos) << why;
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { dept_->AddDepartment("A\\B", ""); }, &why));
  EXPECT_NE(why.find("\\"), std::string::npos) << why;
  EXPECT_EQ(kSdkErrorInvalidArg,
            ErrorCode([&] { dept_->AddDepartment(std::string(256, 'x'), ""); }, &why));
  EXPECT_NE(why.find("longer than 255 bytes"), std::string::npos) << why;
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { dept_->AddDepartment("tab\there", ""); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->AddDepartment("X", "Nowhere\\"); }, &why));
  EXPECT_NE(why.find("Nowhere"), std::string::npos) << why;
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { dept_->RemoveDepartment("", 0); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->RenameDepartment("Nope\\", "Y"); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->ChildDepartments("Nope\\"); }));
  EXPECT_EQ(kSdkErrorNotFound, ErrorCode([&] { dept_->MoveUser("ghost", "", "", 0); }));

  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { user_->AddUser("", 0); }));
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { user_->AddUser(std::string(128, 'a'), 0); }));
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { user_->AddUser("ann", 7); }, &why));
  EXPECT_NE(why.find("authentication type 7"), std::string::npos) << why;
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] { user_->AddUser("bad\xff", 0); }));
  EXPECT_EQ(kSdkErrorNotFound,
            ErrorCode([&] { user_->SetUserBasicInfo("ghost", "G", 1, "", "", "", 0); }));

  // None of the refused calls left anything behind.
  EXPECT_EQ(dept_->ChildDepartments(""), "<Departments></Departments>");
  EXPECT_EQ(dept_->DepartmentUsers(""), "<Users></Users>");
}

TEST_F(ZeltodSemantics, UserFieldsAreStoredAndZeltoNullKeepsThem) {
  user_->AddUser("ann", 0);
  user_->SetUserBasicInfo("ann", "Ann Lee", 1, "555-1", "ann@corp", "100", 3);
  user_->SetUserDetails("ann", -1, -1, -1, "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL",
                        "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL",
                        "Engineer", -1);
  user_->SetUserBasicInfo("ann", "ZELTO_NULL", -1, "ZELTO_NULL", "new@corp", "ZELTO_NULL", -1);

  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("{\"account\": \"ann\", \"name\": \"Ann Lee\", \"gender\": 1, \"mobile\": "
                     "\"555-1\", \"email\": \"new@corp\", \"phone\": \"100\", \"position\": "
                     "\"Engineer\", \"authType\": 3, \"departments\": []}"),
            std::string::npos)
      << out;

  // Over-long fields are refused and change nothing.
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] {
              user_->SetUserBasicInfo("ann", std::string(64, 'n'), 1, "", "", "", 0);
            }));
  EXPECT_EQ(kSdkErrorInvalidArg, ErrorCode([&] {
              user_->SetUserDetails("ann", -1, -1, -1, "", "", "", "", "", "", "", "", "",
                                    std::string(256, 'p'), -1);
            }));
  EXPECT_EQ(kSdkErrorInvalidArg,
            ErrorCode([&] { user_->SetUserBasicInfo("ann", "A", -5, "", "", "", 0); }));
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("\"name\": \"Ann Lee\""), std::string::npos);
  EXPECT_NE(out.find("\"position\": \"Engineer\""), std::string::npos);

  // 63 bytes of UTF-8 pass.
  std::string name63;
  for (int i = 0; i < 21; ++i) name63 += "张";
  user_->SetUserBasicInfo("ann", name63, 1, "", "", "", 0);
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find(name63), std::string::npos);
}

}  // namespace
}  // namespace norvane
