// zeltod: the Zelto server stand-in.
//
//   zeltod [--db FILE] [--app-listen HOST:PORT] [--sdk-listen HOST:PORT]
//
// The SDK server carries the root, department manager, user manager and administration
// services; the application server carries the application object and the client login.
// Port 0 picks a free port. Once both listen, one line goes to standard output:
//   zeltod ready app=HOST:PORT sdk=HOST:PORT
// SIGTERM or SIGINT raise the application-stopped event, then shut both servers down.
#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "zelto/app_hub.h"
#include "zelto/proto/zelto.grpc.pb.h"
#include "zelto/store.h"

namespace zelto {
namespace {

constexpr const char* kServerText = "Zelto Server 1.0 (zeltod)";
constexpr auto kLoginWait = std::chrono::seconds(10);

grpc::Status ToStatus(const StoreError& e) {
  grpc::StatusCode code = grpc::StatusCode::INTERNAL;
  switch (e.code()) {
    case StoreCode::kInvalid:
      code = grpc::StatusCode::INVALID_ARGUMENT;
      break;
    case StoreCode::kNotFound:
      code = grpc::StatusCode::NOT_FOUND;
      break;
    case StoreCode::kExists:
      code = grpc::StatusCode::ALREADY_EXISTS;
      break;
    case StoreCode::kPrecondition:
      code = grpc::StatusCode::FAILED_PRECONDITION;
      break;
    case StoreCode::kInternal:
      code = grpc::StatusCode::INTERNAL;
      break;
  }
  return grpc::Status(code, e.what());
}

// Runs a store call and turns its error into the call's status.
template <typename Fn>
grpc::Status Guard(Fn&& fn) {
  try {
    fn();
    return grpc::Status::OK;
  } catch (const StoreError& e) {
    return ToStatus(e);
  } catch (const std::exception& e) {
    return grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  }
}

void Fill(NameList* list, const std::vector<std::string>& names) {
  for (const std::string& n : names) list->add_names(n);
}

class RootService final : public Root::Service {
  grpc::Status GetServerText(grpc::ServerContext*, const Empty*, TextReply* reply) override {
    reply->set_text(kServerText);
    return grpc::Status::OK;
  }
};

class DeptService final : public DeptManager::Service {
 public:
  explicit DeptService(Store* store) : store_(store) {}

  grpc::Status AddDepartment(grpc::ServerContext*, const AddDepartmentRequest* r, Empty*) override {
    return Guard([&] { store_->AddDepartment(r->name(), r->parent_ref()); });
  }
  grpc::Status RemoveDepartment(grpc::ServerContext*, const RemoveDepartmentRequest* r,
                                Empty*) override {
    return Guard([&] { store_->RemoveDepartment(r->ref()); });
  }
  grpc::Status RenameDepartment(grpc::ServerContext*, const RenameDepartmentRequest* r,
                                Empty*) override {
    return Guard([&] { store_->RenameDepartment(r->ref(), r->new_name()); });
  }
  grpc::Status ParentsOfDepartment(grpc::ServerContext*, const DeptRef* r,
                                   TextReply* reply) override {
    return Guard([&] { reply->set_text(store_->ParentsOfDepartment(r->ref())); });
  }
  grpc::Status MoveDepartment(grpc::ServerContext*, const MoveDepartmentRequest* r,
                              Empty*) override {
    return Guard([&] { store_->MoveDepartment(r->ref(), r->new_parent_ref()); });
  }
  grpc::Status ChildDepartments(grpc::ServerContext*, const DeptRef* r, NameList* reply) override {
    return Guard([&] { Fill(reply, store_->ChildDepartments(r->ref())); });
  }
  grpc::Status DepartmentUsers(grpc::ServerContext*, const DeptRef* r, NameList* reply) override {
    return Guard([&] { Fill(reply, store_->DepartmentUsers(r->ref())); });
  }
  grpc::Status TakeUserOutOfDepartment(grpc::ServerContext*, const MembershipRequest* r,
                                       Empty*) override {
    return Guard([&] { store_->TakeUserOutOfDepartment(r->account(), r->ref()); });
  }
  grpc::Status MoveUser(grpc::ServerContext*, const MoveUserRequest* r, Empty*) override {
    return Guard([&] { store_->MoveUser(r->account(), r->old_ref(), r->new_ref()); });
  }
  grpc::Status DepartmentsOfUser(grpc::ServerContext*, const Account* r, NameList* reply) override {
    return Guard([&] { Fill(reply, store_->DepartmentsOfUser(r->account())); });
  }
  grpc::Status CreateDepartmentUnderParent(grpc::ServerContext*, const CreateUnderParentRequest* r,
                                           Empty*) override {
    return Guard([&] { store_->AddDepartment(r->name(), r->parent_ref()); });
  }
  grpc::Status DepartmentExists(grpc::ServerContext*, const DeptRef* r, BoolReply* reply) override {
    return Guard([&] { reply->set_value(store_->DepartmentExists(r->ref())); });
  }

 private:
  Store* store_;
};

class UserService final : public UserManager::Service {
 public:
  explicit UserService(Store* store) : store_(store) {}

  grpc::Status AddUser(grpc::ServerContext*, const AddUserRequest* r, Empty*) override {
    return Guard([&] { store_->AddUser(r->account(), r->auth_type()); });
  }
  grpc::Status RemoveUser(grpc::ServerContext*, const Account* r, Empty*) override {
    return Guard([&] { store_->RemoveUser(r->account()); });
  }
  grpc::Status SetUserBasicInfo(grpc::ServerContext*, const BasicInfo* r, Empty*) override {
    return Guard([&] { store_->SetUserBasicInfo(*r); });
  }
  grpc::Status SetUserDetails(grpc::ServerContext*, const Details* r, Empty*) override {
    return Guard([&] { store_->SetUserDetails(*r); });
  }
  grpc::Status UserExists(grpc::ServerContext*, const Account* r, BoolReply* reply) override {
    return Guard([&] { reply->set_value(store_->UserExists(r->account())); });
  }

 private:
  Store* store_;
};

bool UsesApplication(int auth_type) { return auth_type == 1 || auth_type == 3; }

class ApplicationService final : public Application::Service {
 public:
  ApplicationService(Store* store, AppHub* hub) : store_(store), hub_(hub) {}

  grpc::Status SetIdentifier(grpc::ServerContext*, const AppText* r, Empty*) override {
    return hub_->SetIdentifier(r->session(), r->text());
  }
  grpc::Status SetName(grpc::ServerContext*, const AppText* r, Empty*) override {
    return hub_->SetName(r->session(), r->text());
  }
  grpc::Status Register(grpc::ServerContext*, const AppSession* r, Empty*) override {
    return hub_->Register(r->session());
  }
  grpc::Status Start(grpc::ServerContext*, const StartRequest* r, IntReply* reply) override {
    reply->set_value(hub_->Start(r->session()));
    return grpc::Status::OK;
  }
  grpc::Status Stop(grpc::ServerContext*, const AppSession* r, Empty*) override {
    return hub_->Stop(r->session());
  }
  grpc::Status SetUserAuthType(grpc::ServerContext*, const AuthTypeRequest* r, Empty*) override {
    return Guard([&] { store_->SetUserAuthType(r->account(), r->auth_type()); });
  }
  grpc::Status AccountUsesApplication(grpc::ServerContext*, const AppAccount* r,
                                      BoolReply* reply) override {
    return Guard([&] {
      std::optional<int> type = store_->AuthType(r->account());
      reply->set_value(type && UsesApplication(*type) && hub_->HoldsRegistration(r->session()));
    });
  }
  grpc::Status Events(grpc::ServerContext* context, EventStream* stream) override {
    return hub_->ServeEvents(context, stream);
  }

 private:
  Store* store_;
  AppHub* hub_;
};

class AppServerService final : public AppServer::Service {
 public:
  AppServerService(Store* store, AppHub* hub) : store_(store), hub_(hub) {}

  grpc::Status ClientLogin(grpc::ServerContext*, const LoginRequest* r,
                           LoginReply* reply) override {
    return Guard([&] { Login(r->account(), r->password(), reply); });
  }

 private:
  void Login(const std::string& account, const std::string& password, LoginReply* reply) {
    reply->set_result(1);
    std::optional<int> type = store_->AuthType(account);
    if (!type) {
      reply->set_reason("unknown account");
      return;
    }
    if (*type == 0) {
      switch (store_->CheckPassword(account, password)) {
        case PasswordCheck::kMatch:
          reply->set_result(0);
          reply->set_reason("local password accepted");
          break;
        case PasswordCheck::kMismatch:
          reply->set_result(2);
          reply->set_reason("wrong local password");
          break;
        case PasswordCheck::kNoPassword:
          reply->set_reason("the account has no local password");
          break;
        case PasswordCheck::kNoAccount:
          reply->set_reason("unknown account");
          break;
      }
      return;
    }
    if (!UsesApplication(*type)) {
      reply->set_reason("authentication type " + std::to_string(*type) + " is not served");
      return;
    }
    int result = 1;
    switch (hub_->Verify(account, password, kLoginWait, &result)) {
      case AppHub::VerifyOutcome::kAnswered:
        if (result < 0 || result > 2) result = 1;
        reply->set_result(result);
        reply->set_reason(result == 0   ? "accepted by the application"
                          : result == 2 ? "wrong password (application)"
                                        : "refused by the application");
        break;
      case AppHub::VerifyOutcome::kNoApplication:
        reply->set_reason("no authentication application is started");
        break;
      case AppHub::VerifyOutcome::kTimedOut:
        reply->set_reason("the authentication application did not answer in time");
        break;
    }
  }

  Store* store_;
  AppHub* hub_;
};

class AdminService final : public Admin::Service {
 public:
  AdminService(Store* store, AppHub* hub) : store_(store), hub_(hub) {}

  grpc::Status SetPassword(grpc::ServerContext*, const PasswordRequest* r, Empty*) override {
    return Guard([&] { store_->SetPassword(r->account(), r->password()); });
  }
  grpc::Status Dump(grpc::ServerContext*, const Empty*, DumpReply* reply) override {
    return Guard([&] { *reply = store_->Dump(); });
  }
  grpc::Status StopApplication(grpc::ServerContext*, const Empty*, Empty*) override {
    hub_->StopApplication(false);
    return grpc::Status::OK;
  }

 private:
  Store* store_;
  AppHub* hub_;
};

struct Options {
  std::string db = "./zelto.db";
  std::string app_listen = "127.0.0.1:7100";
  std::string sdk_listen = "127.0.0.1:7101";
};

int Usage() {
  std::fprintf(stderr,
               "usage: zeltod [--db FILE] [--app-listen HOST:PORT] [--sdk-listen HOST:PORT]\n");
  return 2;
}

// HOST:PORT with the port replaced by the one actually bound.
std::string WithPort(const std::string& listen, int port) {
  std::size_t colon = listen.rfind(':');
  return listen.substr(0, colon) + ":" + std::to_string(port);
}

std::unique_ptr<grpc::Server> StartServer(const std::string& listen,
                                          std::vector<grpc::Service*> services, int* port) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort(listen, grpc::InsecureServerCredentials(), port);
  builder.SetMaxReceiveMessageSize(16 * 1024 * 1024);
  builder.SetMaxSendMessageSize(64 * 1024 * 1024);
  // Clients keep their event connection alive with pings.
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, 5000);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  // The SDK's pipelined writes keep dozens of calls open at once. A thread is kept for each
  // instead of being ended after its call and made again for the next (gRPC's default keeps
  // two), which cost more than the calls themselves.
  builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MIN_POLLERS, 4);
  builder.SetSyncServerOption(grpc::ServerBuilder::SyncServerOption::MAX_POLLERS, 128);
  for (grpc::Service* s : services) builder.RegisterService(s);
  return builder.BuildAndStart();
}

int Run(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--db") {
      options.db = argv[++i];
    } else if (arg == "--app-listen") {
      options.app_listen = argv[++i];
    } else if (arg == "--sdk-listen") {
      options.sdk_listen = argv[++i];
    } else {
      return Usage();
    }
  }
  for (const std::string* listen : {&options.app_listen, &options.sdk_listen}) {
    if (listen->rfind(':') == std::string::npos) return Usage();
  }

  // Every thread the servers start inherits the blocked signals; only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<Store> store;
  try {
    store = std::make_unique<Store>(options.db);
  } catch (const StoreError& e) {
    std::fprintf(stderr, "zeltod: %s\n", e.what());
    return 1;
  }
  AppHub hub;
  RootService root;
  DeptService dept(store.get());
  UserService user(store.get());
  AdminService admin(store.get(), &hub);
  ApplicationService application(store.get(), &hub);
  AppServerService app_server(store.get(), &hub);

  int sdk_port = 0, app_port = 0;
  std::unique_ptr<grpc::Server> sdk =
      StartServer(options.sdk_listen, {&root, &dept, &user, &admin}, &sdk_port);
  if (!sdk || sdk_port == 0) {
    std::fprintf(stderr, "zeltod: cannot listen on %s (SDK server)\n", options.sdk_listen.c_str());
    return 1;
  }
  std::unique_ptr<grpc::Server> app =
      StartServer(options.app_listen, {&application, &app_server}, &app_port);
  if (!app || app_port == 0) {
    std::fprintf(stderr, "zeltod: cannot listen on %s (application server)\n",
                 options.app_listen.c_str());
    sdk->Shutdown();
    return 1;
  }
  std::printf("zeltod ready app=%s sdk=%s\n", WithPort(options.app_listen, app_port).c_str(),
              WithPort(options.sdk_listen, sdk_port).c_str());
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::fprintf(stderr, "zeltod: %s received, stopping\n", strsignal(signal_number));

  hub.StopApplication(true);
  // Calls in flight get the time to finish. Idle client connections that do not notice
  // the server going away are closed at the deadline, so the exit can take that long.
  auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(3);
  app->Shutdown(deadline);
  sdk->Shutdown(deadline);
  app->Wait();
  sdk->Wait();
  store.reset();
  std::fprintf(stderr, "zeltod: stopped\n");
  return 0;
}

}  // namespace
}  // namespace zelto

int main(int argc, char** argv) { return zelto::Run(argc, argv); }
