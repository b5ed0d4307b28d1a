// The login flow of directory-authenticated accounts: zeltod asks the registered
// application over its event connection and waits for the answer.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace norvane {
namespace {

constexpr const char* kAppId = "{6C3A1F52-4E0B-4B8E-9D71-2A5F0C7E9B13}";

// Accepts "right" for every account, 2 for "wrong", otherwise 1; can be told to stall.
class Sink : public SdkEventSink {
 public:
  int OnLoginVerify(const std::string& account, const std::string& password,
                    std::chrono::steady_clock::time_point deadline) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      last_account_ = account;
      last_deadline_ = deadline;
      ++verifications_;
    }
    if (stall_.count() > 0) std::this_thread::sleep_for(stall_);
    if (password == "right") return 0;
    if (password == "wrong") return 2;
    if (password == "throw") throw std::runtime_error("sink failure");
    if (password == "odd") return 42;
    return 1;
  }
  void OnAppStopped() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++stopped_;
    cv_.notify_all();
  }
  bool WaitStopped(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return stopped_ > 0; });
  }
  int stopped() {
    std::lock_guard<std::mutex> lock(mu_);
    return stopped_;
  }
  std::string last_account() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_account_;
  }
  int verifications() {
    std::lock_guard<std::mutex> lock(mu_);
    return verifications_;
  }
  std::chrono::steady_clock::time_point last_deadline() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_deadline_;
  }

  std::chrono::milliseconds stall_{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::string last_account_;
  std::chrono::steady_clock::time_point last_deadline_;
  int verifications_ = 0;
  int stopped_ = 0;
};

class LoginFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    root_ = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(root_);
    root_->SetServerAddress(zeltod_.Host());
    root_->SetServerPort(zeltod_.AppPort());
    root_->UserManager()->AddUser("dir.user", 3);
    root_->UserManager()->AddUser("ldap.user", 1);
    root_->UserManager()->AddUser("local.user", 0);
  }

  // Registers "ldapauth", connects the sink and starts; the usual order of a client.
  void StartApplication(SdkApplication* app) {
    app->SetIdentifier(kAppId);
    app->SetName("ldapauth");
    app->Register();
    app->Connect(&sink_);
    ASSERT_GE(app->Start("", 8), 0);
  }

  std::string Login(const std::string& account, const std::string& password) {
    std::string out;
    zeltod_.Ctl({"login", account}, &out, password + "\n");
    return out;
  }

  Zeltod zeltod_;
  Sink sink_;
  std::unique_ptr<SdkRoot> root_;
};

TEST_F(LoginFlow, TheApplicationAnswersEachLogin) {
  SdkApplication* app = root_->Application();
  StartApplication(app);
  EXPECT_TRUE(app->Connected());
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Login("dir.user", "right"), "accepted\n");
  EXPECT_EQ(sink_.last_account(), "dir.user");
  // The event says how long the server waits: about 10 s from when it was sent.
  EXPECT_GT(sink_.last_deadline(), before + std::chrono::seconds(9));
  EXPECT_LT(sink_.last_deadline(), std::chrono::steady_clock::now() + std::chrono::seconds(11));
  EXPECT_EQ(Login("dir.user", "wrong"), "wrong password\n");
  EXPECT_EQ(Login("ldap.user", "other"), "refused\n");  // type 1 goes to the application too
  EXPECT_EQ(sink_.last_account(), "ldap.user");
  EXPECT_EQ(Login("dir.user", "throw"), "refused\n");
  EXPECT_EQ(Login("dir.user", "odd"), "refused\n");
  EXPECT_EQ(sink_.verifications(), 5);
  // Local accounts never reach the application.
  EXPECT_EQ(Login("local.user", "right"), "refused\n");
  EXPECT_EQ(sink_.verifications(), 5);
  // The password is not in the server's log.
  EXPECT_EQ(zeltod_.LogText().find("right"), std::string::npos);
}

TEST_F(LoginFlow, AccountUsesApplicationWhileRegistered) {
  SdkApplication* app = root_->Application();
  app->SetIdentifier(kAppId);
  app->SetName("ldapauth");
  EXPECT_FALSE(app->AccountUsesApplication("dir.user"));  // not registered yet
  app->Register();
  EXPECT_TRUE(app->AccountUsesApplication("dir.user"));
  EXPECT_TRUE(app->AccountUsesApplication("LDAP.USER"));
  EXPECT_FALSE(app->AccountUsesApplication("local.user"));
  EXPECT_FALSE(app->AccountUsesApplication("nobody"));
  app->SetUserAuthType("local.user", 3);
  EXPECT_TRUE(app->AccountUsesApplication("local.user"));
  app->Stop();
  EXPECT_FALSE(app->AccountUsesApplication("dir.user"));
}

TEST_F(LoginFlow, StartNeedsRegistrationAndAnEventConnection) {
  SdkApplication* app = root_->Application();
  EXPECT_LT(app->Start("", 8), 0);
  app->SetIdentifier(kAppId);
  EXPECT_THROW(app->Register(), SdkError);  // no name yet
  app->SetName("ldapauth");
  app->Register();
  EXPECT_LT(app->Start("", 8), 0);  // no event connection
  EXPECT_EQ(Login("dir.user", "right"), "refused\n");
  app->Connect(&sink_);
  EXPECT_GE(app->Start("", 8), 0);
  EXPECT_EQ(Login("dir.user", "right"), "accepted\n");

  // A second client cannot take a live registration.
  auto other = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  other->SetServerAddress(zeltod_.Host());
  other->SetServerPort(zeltod_.AppPort());
  other->Application()->SetIdentifier(kAppId);
  other->Application()->SetName("ldapauth");
  try {
    other->Application()->Register();
    ADD_FAILURE() << "a live registration was taken over";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorPrecondition);
    EXPECT_NE(e.description.find("already registered"), std::string::npos) << e.description;
  }
  // Once the first one disconnects it can.
  app->Disconnect();
  EXPECT_FALSE(app->Connected());
  EXPECT_EQ(Login("dir.user", "right"), "refused\n");
  other->Application()->Register();
}

TEST_F(LoginFlow, NoAnswerInTimeRefuses) {
  sink_.stall_ = std::chrono::milliseconds(11500);
  StartApplication(root_->Application());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Login("dir.user", "right"), "refused\n");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(9));
  EXPECT_LT(took, std::chrono::seconds(15));
}

TEST_F(LoginFlow, StopAppRaisesTheStoppedEventOnce) {
  SdkApplication* app = root_->Application();
  StartApplication(app);
  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"stop-app"}, &out));
  EXPECT_TRUE(sink_.WaitStopped(std::chrono::seconds(5)));
  EXPECT_EQ(Login("dir.user", "right"), "refused\n");
  EXPECT_FALSE(app->AccountUsesApplication("dir.user"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sink_.stopped(), 1);
  // It can register and start again.
  app->Disconnect();
  StartApplication(app);
  EXPECT_EQ(Login("dir.user", "right"), "accepted\n");
}

TEST_F(LoginFlow, ServerShutdownRaisesTheStoppedEventFirst) {
  StartApplication(root_->Application());
  EXPECT_TRUE(zeltod_.Stop());
  EXPECT_TRUE(sink_.WaitStopped(std::chrono::seconds(5)));
}

TEST_F(LoginFlow, AKilledServerEndsTheConnectionAsStopped) {
  StartApplication(root_->Application());
  zeltod_.Kill();
  EXPECT_TRUE(sink_.WaitStopped(std::chrono::seconds(20)));
  EXPECT_FALSE(root_->Application()->Connected());
}

// A sink that drops the whole root from inside the stopped event, as an owner that
// releases everything on that event does.
class ReleasingSink : public SdkEventSink {
 public:
  int OnLoginVerify(const std::string&, const std::string&,
                    std::chrono::steady_clock::time_point) override {
    return 1;
  }
  void OnAppStopped() override {
    root.reset();
    released = true;
  }
  std::unique_ptr<SdkRoot> root;
  std::atomic<bool> released{false};
};

TEST_F(LoginFlow, TheSinkMayReleaseTheRootFromTheStoppedEvent) {
  ReleasingSink sink;
  sink.root = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  sink.root->SetServerAddress(zeltod_.Host());
  sink.root->SetServerPort(zeltod_.AppPort());
  SdkApplication* app = sink.root->Application();
  app->SetIdentifier(kAppId);
  app->SetName("ldapauth");
  app->Register();
  app->Connect(&sink);
  ASSERT_GE(app->Start("", 8), 0);
  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"stop-app"}, &out));
  for (int i = 0; i < 250 && !sink.released; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(sink.released);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread winds down
}

TEST_F(LoginFlow, AClientWithoutTheCredentialCannotTakeTheApplicationOver) {
  SdkApplication* app = root_->Application();
  StartApplication(app);
  // What an impostor would do: stop the application, register itself, start, answer.
  std::string out, err;
  EXPECT_EQ(1, zeltod_.ForeignCtl({"stop-app"}, &out, "", &err));
  EXPECT_NE(err.find("refused the call"), std::string::npos) << err;
  auto impostor = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort());
  impostor->SetServerAddress(zeltod_.Host());
  impostor->SetServerPort(zeltod_.AppPort());
  Sink impostor_sink;
  EXPECT_THROW(impostor->Application()->SetIdentifier(kAppId), SdkError);
  EXPECT_THROW(impostor->Application()->Register(), SdkError);
  EXPECT_THROW(impostor->Application()->Connect(&impostor_sink), SdkError);
  // The holder of the credential still answers every login.
  EXPECT_EQ(Login("dir.user", "right"), "accepted\n");
  EXPECT_EQ(impostor_sink.verifications(), 0);
  EXPECT_EQ(sink_.stopped(), 0);
}

// A client of the application server that speaks the wire protocol itself, for what the SDK
// never does: leave an event connection open after the stopped event, open a second one.
class RawApp {
 public:
  RawApp(const Zeltod& zeltod, std::string session) : session_(std::move(session)) {
    std::ifstream in(zeltod.CredentialFile());
    std::getline(in, credential_);
    stub_ = zelto::Application::NewStub(
        grpc::CreateChannel(zeltod.AppAddress(), grpc::InsecureChannelCredentials()));
  }
  struct Stream {
    grpc::ClientContext context;
    std::unique_ptr<grpc::ClientReaderWriter<zelto::AppMessage, zelto::AppEvent>> rw;
  };

  bool Register() {
    zelto::AppText text;
    text.set_session(session_);
    text.set_text(kAppId);
    zelto::Empty empty;
    grpc::ClientContext c1, c2, c3;
    if (!stub_->SetIdentifier(Prepare(&c1), text, &empty).ok()) return false;
    text.set_text("ldapauth");
    if (!stub_->SetName(Prepare(&c2), text, &empty).ok()) return false;
    zelto::AppSession s;
    s.set_session(session_);
    return stub_->Register(Prepare(&c3), s, &empty).ok();
  }
  int Start() {
    zelto::StartRequest r;
    r.set_session(session_);
    r.set_mode(8);
    zelto::IntReply reply;
    grpc::ClientContext c;
    return stub_->Start(Prepare(&c), r, &reply).ok() ? reply.value() : -100;
  }
  // An event connection the server has accepted; null when it refused.
  std::unique_ptr<Stream> Connect() {
    auto stream = std::make_unique<Stream>();
    stream->context.AddMetadata("x-zelto-credential", credential_);
    stream->rw = stub_->Events(&stream->context);
    zelto::AppMessage hello;
    hello.mutable_hello()->set_session(session_);
    zelto::AppEvent event;
    if (!stream->rw->Write(hello) || !stream->rw->Read(&event) || !event.has_connected()) {
      return nullptr;
    }
    return stream;
  }

 private:
  grpc::ClientContext* Prepare(grpc::ClientContext* context) {
    context->AddMetadata("x-zelto-credential", credential_);
    context->set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    return context;
  }
  std::string session_, credential_;
  std::unique_ptr<zelto::Application::Stub> stub_;
};

TEST_F(LoginFlow, StartTakesOnlyTheRegisteringSessionsOwnEventConnection) {
  RawApp first(zeltod_, "first-session");
  ASSERT_TRUE(first.Register());
  auto first_events = first.Connect();
  ASSERT_TRUE(first_events);
  ASSERT_EQ(first.Start(), 0);
  // The application is stopped; its holder keeps the old connection open.
  ASSERT_EQ(0, zeltod_.Ctl({"stop-app"}));
  RawApp second(zeltod_, "second-session");
  ASSERT_TRUE(second.Register());
  EXPECT_LT(second.Start(), 0) << "started on the first session's connection";
  EXPECT_EQ(Login("dir.user", "right"), "refused\n");
  auto second_events = second.Connect();
  ASSERT_TRUE(second_events);
  EXPECT_EQ(second.Start(), 0);
}

TEST_F(LoginFlow, ALoginInFlightOnAReplacedConnectionIsRefusedAtOnce) {
  RawApp app(zeltod_, "raw-session");
  ASSERT_TRUE(app.Register());
  auto old_events = app.Connect();
  ASSERT_TRUE(old_events);
  ASSERT_EQ(app.Start(), 0);
  std::string answer;
  const auto start = std::chrono::steady_clock::now();
  std::thread login([&] { answer = Login("dir.user", "right"); });
  zelto::AppEvent event;
  ASSERT_TRUE(old_events->rw->Read(&event));
  ASSERT_TRUE(event.has_login_verify());
  EXPECT_GT(event.login_verify().wait_ms(), 8000);
  EXPECT_LE(event.login_verify().wait_ms(), 10000);
  // The same session connects again (a client that restarted its connection): the login
  // sent on the old one can never be answered there.
  auto new_events = app.Connect();
  ASSERT_TRUE(new_events);
  login.join();
  EXPECT_EQ(answer, "refused\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  old_events->context.TryCancel();
  new_events->context.TryCancel();
}

}  // namespace
}  // namespace norvane
