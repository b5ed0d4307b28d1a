// zeltod: the Zelto server stand-in.
//
//   zeltod [--db FILE] [--app-listen HOST:PORT] [--sdk-listen HOST:PORT]
//          [--credential-file FILE] [--credential-group GROUP]
//          [--tls-cert FILE --tls-key FILE] [--login-wait SECONDS]
//
// The SDK server carries the root, department manager, user manager and administration
// services; the application server carries the application object and the client login.
// Port 0 picks a free port. Once both listen, one line goes to standard output:
//   zeltod ready app=HOST:PORT sdk=HOST:PORT
// SIGTERM or SIGINT raise the application-stopped event, then shut both servers down.
//
// Every call but the client login must carry the credential of --credential-file (default:
// the database path followed by ".credential"), which is created with a random secret when
// the file does not exist. With --tls-cert and --tls-key both servers speak TLS only.
//
// The database, its log and the credential hold account data and secrets: zeltod makes them
// 0600 whatever the umask, and refuses a credential file that anyone but its owner (zeltod's
// user or root) may read or write. --credential-group names the one group that may read it
// as well (never write it): the file is then made 0640 with that group, so that a client
// running as another user in that group (the norvane service) can read it.
// --login-wait is how long a login waits for the authentication application (10 s).
#include <absl/synchronization/mutex.h>
#include <grp.h>
#include <grpcpp/grpcpp.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "zelto/app_hub.h"
#include "zelto/credential.h"
#include "zelto/proto/zelto.grpc.pb.h"
#include "zelto/store.h"

namespace zelto {
namespace {

constexpr const char* kServerText = "Zelto Server 1.0 (zeltod)";
constexpr int kDefaultLoginWaitSeconds = 10;

// Whether a call carries the server's credential. Set once before the servers start.
class CredentialCheck {
 public:
  explicit CredentialCheck(std::string secret) : secret_(std::move(secret)) {}
  ~CredentialCheck() { WipeCredential(&secret_); }

  grpc::Status Check(const grpc::ServerContextBase* context) const {
    const auto& metadata = context->client_metadata();
    auto it = metadata.find(kCredentialHeader);
    if (it != metadata.end() && it->second.size() == secret_.size() &&
        CRYPTO_memcmp(it->second.data(), secret_.data(), secret_.size()) == 0) {
      return grpc::Status::OK;
    }
    return grpc::Status(grpc::StatusCode::UNAUTHENTICATED,
                        it == metadata.end()
                            ? "this call needs the server's credential, and none was sent"
                            : "the credential sent is not the server's");
  }

 private:
  std::string secret_;
};

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

// The status of a call that failed with `error`.
grpc::Status StatusOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const StoreError& e) {
    return ToStatus(e);
  } catch (const std::exception& e) {
    return grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  } catch (...) {
    return grpc::Status(grpc::StatusCode::INTERNAL, "unknown error");
  }
}

// Runs a call's body (which returns its status) once the credential has been checked.
template <typename Fn>
grpc::Status Checked(const CredentialCheck* check, const grpc::ServerContextBase* context,
                     Fn&& fn) {
  grpc::Status status = check->Check(context);
  if (!status.ok()) return status;
  return fn();
}

// Runs a store call, once the credential has been checked, and turns its error into the
// call's status.
template <typename Fn>
grpc::Status Guard(const CredentialCheck* check, const grpc::ServerContextBase* context, Fn&& fn) {
  grpc::Status status = check->Check(context);
  if (!status.ok()) return status;
  try {
    fn();
    return grpc::Status::OK;
  } catch (...) {
    return StatusOf(std::current_exception());
  }
}

// A read: answered at once on the thread that received it (reads are short).
template <typename Fn>
grpc::ServerUnaryReactor* AnswerNow(grpc::CallbackServerContext* context,
                                    const CredentialCheck* check, Fn&& fn) {
  grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
  reactor->Finish(Guard(check, context, std::forward<Fn>(fn)));
  return reactor;
}

// A write: `queue` hands it to the store with the callback that answers the call once the
// write is committed. No thread waits for the commit, so many calls in flight cost no
// thread each.
template <typename Fn>
grpc::ServerUnaryReactor* AnswerWhenCommitted(grpc::CallbackServerContext* context,
                                              const CredentialCheck* check, Fn&& queue) {
  grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
  grpc::Status refused = Guard(check, context, [&] {
    queue([reactor](std::exception_ptr error) {
      reactor->Finish(error ? StatusOf(error) : grpc::Status::OK);
    });
  });
  // Refused before it was queued: the store never calls back.
  if (!refused.ok()) reactor->Finish(refused);
  return reactor;
}

void Fill(NameList* list, const std::vector<std::string>& names) {
  for (const std::string& n : names) list->add_names(n);
}

class RootService final : public Root::Service {
 public:
  explicit RootService(const CredentialCheck* check) : check_(check) {}

  grpc::Status GetServerText(grpc::ServerContext* ctx, const Empty*, TextReply* reply) override {
    return Checked(check_, ctx, [&] {
      reply->set_text(kServerText);
      return grpc::Status::OK;
    });
  }

 private:
  const CredentialCheck* check_;
};

class DeptService final : public DeptManager::CallbackService {
 public:
  DeptService(Store* store, const CredentialCheck* check) : store_(store), check_(check) {}

  using Context = grpc::CallbackServerContext;
  using Reactor = grpc::ServerUnaryReactor;

  Reactor* AddDepartment(Context* ctx, const AddDepartmentRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->AddDepartment(r->name(), r->parent_ref(), std::move(done));
    });
  }
  Reactor* RemoveDepartment(Context* ctx, const RemoveDepartmentRequest* r, Empty*) override {
    return AnswerWhenCommitted(
        ctx, check_, [&](WriteDone done) { store_->RemoveDepartment(r->ref(), std::move(done)); });
  }
  Reactor* RenameDepartment(Context* ctx, const RenameDepartmentRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->RenameDepartment(r->ref(), r->new_name(), std::move(done));
    });
  }
  Reactor* ParentsOfDepartment(Context* ctx, const DeptRef* r, TextReply* reply) override {
    return AnswerNow(ctx, check_, [&] { reply->set_text(store_->ParentsOfDepartment(r->ref())); });
  }
  Reactor* MoveDepartment(Context* ctx, const MoveDepartmentRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->MoveDepartment(r->ref(), r->new_parent_ref(), std::move(done));
    });
  }
  Reactor* ChildDepartments(Context* ctx, const DeptRef* r, NameList* reply) override {
    return AnswerNow(ctx, check_, [&] { Fill(reply, store_->ChildDepartments(r->ref())); });
  }
  Reactor* DepartmentUsers(Context* ctx, const DeptRef* r, NameList* reply) override {
    return AnswerNow(ctx, check_, [&] { Fill(reply, store_->DepartmentUsers(r->ref())); });
  }
  Reactor* TakeUserOutOfDepartment(Context* ctx, const MembershipRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->TakeUserOutOfDepartment(r->account(), r->ref(), std::move(done));
    });
  }
  Reactor* MoveUser(Context* ctx, const MoveUserRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->MoveUser(r->account(), r->old_ref(), r->new_ref(), std::move(done));
    });
  }
  Reactor* DepartmentsOfUser(Context* ctx, const Account* r, NameList* reply) override {
    return AnswerNow(ctx, check_, [&] { Fill(reply, store_->DepartmentsOfUser(r->account())); });
  }
  Reactor* CreateDepartmentUnderParent(Context* ctx, const CreateUnderParentRequest* r,
                                       Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->AddDepartment(r->name(), r->parent_ref(), std::move(done));
    });
  }
  Reactor* DepartmentExists(Context* ctx, const DeptRef* r, BoolReply* reply) override {
    return AnswerNow(ctx, check_, [&] { reply->set_value(store_->DepartmentExists(r->ref())); });
  }

 private:
  Store* store_;
  const CredentialCheck* check_;
};

class UserService final : public UserManager::CallbackService {
 public:
  UserService(Store* store, const CredentialCheck* check) : store_(store), check_(check) {}

  using Context = grpc::CallbackServerContext;
  using Reactor = grpc::ServerUnaryReactor;

  Reactor* AddUser(Context* ctx, const AddUserRequest* r, Empty*) override {
    return AnswerWhenCommitted(ctx, check_, [&](WriteDone done) {
      store_->AddUser(r->account(), r->auth_type(), std::move(done));
    });
  }
  Reactor* RemoveUser(Context* ctx, const Account* r, Empty*) override {
    return AnswerWhenCommitted(
        ctx, check_, [&](WriteDone done) { store_->RemoveUser(r->account(), std::move(done)); });
  }
  Reactor* SetUserBasicInfo(Context* ctx, const BasicInfo* r, Empty*) override {
    return AnswerWhenCommitted(
        ctx, check_, [&](WriteDone done) { store_->SetUserBasicInfo(*r, std::move(done)); });
  }
  Reactor* SetUserDetails(Context* ctx, const Details* r, Empty*) override {
    return AnswerWhenCommitted(
        ctx, check_, [&](WriteDone done) { store_->SetUserDetails(*r, std::move(done)); });
  }
  Reactor* UserExists(Context* ctx, const Account* r, BoolReply* reply) override {
    return AnswerNow(ctx, check_, [&] { reply->set_value(store_->UserExists(r->account())); });
  }
  // Answered once the last task's writes are committed; the tasks are queued together, so
  // they usually share one commit.
  Reactor* WriteBatch(Context* ctx, const WriteBatchRequest* r, WriteBatchReply* reply) override {
    Reactor* reactor = ctx->DefaultReactor();
    grpc::Status status = check_->Check(ctx);
    if (!status.ok() || r->tasks_size() == 0) {
      reactor->Finish(status);
      return reactor;
    }
    // Every result exists before the first task can finish: the store's thread fills them
    // in while this one may still be queueing.
    for (int i = 0; i < r->tasks_size(); ++i) reply->add_results();
    auto left = std::make_shared<std::atomic<int>>(r->tasks_size());
    for (int i = 0; i < r->tasks_size(); ++i) {
      TaskResult* result = reply->mutable_results(i);
      store_->RunTask(r->tasks(i),
                      [reactor, result, left](std::size_t done, std::exception_ptr error) {
                        result->set_done(static_cast<std::uint32_t>(done));
                        if (error) {
                          grpc::Status refused = StatusOf(error);
                          result->set_code(static_cast<int>(refused.error_code()));
                          result->set_message(refused.error_message());
                        }
                        if (left->fetch_sub(1, std::memory_order_acq_rel) == 1)
                          reactor->Finish(grpc::Status::OK);
                      });
    }
    return reactor;
  }

 private:
  Store* store_;
  const CredentialCheck* check_;
};

bool UsesApplication(int auth_type) { return auth_type == 1 || auth_type == 3; }

class ApplicationService final : public Application::Service {
 public:
  ApplicationService(Store* store, AppHub* hub, const CredentialCheck* check)
      : store_(store), hub_(hub), check_(check) {}

  grpc::Status SetIdentifier(grpc::ServerContext* ctx, const AppText* r, Empty*) override {
    return Checked(check_, ctx, [&] { return hub_->SetIdentifier(r->session(), r->text()); });
  }
  grpc::Status SetName(grpc::ServerContext* ctx, const AppText* r, Empty*) override {
    return Checked(check_, ctx, [&] { return hub_->SetName(r->session(), r->text()); });
  }
  grpc::Status Register(grpc::ServerContext* ctx, const AppSession* r, Empty*) override {
    return Checked(check_, ctx, [&] { return hub_->Register(r->session()); });
  }
  grpc::Status Start(grpc::ServerContext* ctx, const StartRequest* r, IntReply* reply) override {
    return Checked(check_, ctx, [&] {
      reply->set_value(hub_->Start(r->session()));
      return grpc::Status::OK;
    });
  }
  grpc::Status Stop(grpc::ServerContext* ctx, const AppSession* r, Empty*) override {
    return Checked(check_, ctx, [&] { return hub_->Stop(r->session()); });
  }
  grpc::Status SetUserAuthType(grpc::ServerContext* ctx, const AuthTypeRequest* r,
                               Empty*) override {
    return Guard(check_, ctx, [&] { store_->SetUserAuthType(r->account(), r->auth_type()); });
  }
  grpc::Status AccountUsesApplication(grpc::ServerContext* ctx, const AppAccount* r,
                                      BoolReply* reply) override {
    return Guard(check_, ctx, [&] {
      std::optional<int> type = store_->AuthType(r->account());
      reply->set_value(type && UsesApplication(*type) && hub_->HoldsRegistration(r->session()));
    });
  }
  grpc::Status Events(grpc::ServerContext* context, EventStream* stream) override {
    return Checked(check_, context, [&] { return hub_->ServeEvents(context, stream); });
  }

 private:
  Store* store_;
  AppHub* hub_;
  const CredentialCheck* check_;
};

class AppServerService final : public AppServer::Service {
 public:
  AppServerService(Store* store, AppHub* hub, std::chrono::seconds login_wait)
      : store_(store), hub_(hub), login_wait_(login_wait) {}

  // The one call that needs no credential: any client may try to log in.
  grpc::Status ClientLogin(grpc::ServerContext*, const LoginRequest* r,
                           LoginReply* reply) override {
    try {
      Login(r->account(), r->password(), reply);
      return grpc::Status::OK;
    } catch (const StoreError& e) {
      return ToStatus(e);
    } catch (const std::exception& e) {
      return grpc::Status(grpc::StatusCode::INTERNAL, e.what());
    }
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
    switch (hub_->Verify(account, password, login_wait_, &result)) {
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
  std::chrono::seconds login_wait_;
};

class AdminService final : public Admin::Service {
 public:
  AdminService(Store* store, AppHub* hub, const CredentialCheck* check)
      : store_(store), hub_(hub), check_(check) {}

  grpc::Status SetPassword(grpc::ServerContext* ctx, const PasswordRequest* r, Empty*) override {
    return Guard(check_, ctx, [&] { store_->SetPassword(r->account(), r->password()); });
  }
  grpc::Status Dump(grpc::ServerContext* ctx, const Empty*, DumpReply* reply) override {
    return Guard(check_, ctx, [&] { *reply = store_->Dump(); });
  }
  grpc::Status StopApplication(grpc::ServerContext* ctx, const Empty*, Empty*) override {
    return Checked(check_, ctx, [&] {
      hub_->StopApplication(false);
      return grpc::Status::OK;
    });
  }

 private:
  Store* store_;
  AppHub* hub_;
  const CredentialCheck* check_;
};

struct Options {
  std::string db = "./zelto.db";
  std::string app_listen = "127.0.0.1:7100";
  std::string sdk_listen = "127.0.0.1:7101";
  std::string credential_file;   // empty: db + ".credential"
  std::string credential_group;  // empty: the owner alone reads the credential
  std::string tls_cert, tls_key;
  int login_wait_seconds = kDefaultLoginWaitSeconds;
};

int Usage() {
  std::fprintf(stderr,
               "usage: zeltod [--db FILE] [--app-listen HOST:PORT] [--sdk-listen HOST:PORT]\n"
               "              [--credential-file FILE] [--credential-group GROUP]\n"
               "              [--tls-cert FILE --tls-key FILE] [--login-wait SECONDS]\n");
  return 2;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return !in.bad();
}

// HOST:PORT with the port replaced by the one actually bound.
std::string WithPort(const std::string& listen, int port) {
  std::size_t colon = listen.rfind(':');
  return listen.substr(0, colon) + ":" + std::to_string(port);
}

std::unique_ptr<grpc::Server> StartServer(const std::string& listen,
                                          std::shared_ptr<grpc::ServerCredentials> credentials,
                                          std::vector<grpc::Service*> services, int* port) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort(listen, std::move(credentials), port);
  builder.SetMaxReceiveMessageSize(16 * 1024 * 1024);
  builder.SetMaxSendMessageSize(64 * 1024 * 1024);
  // Clients keep their event connection alive with pings.
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, 5000);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  // The calls that still take a thread each (logins wait for the application's answer) keep
  // it instead of ending it after the call and making it again for the next (gRPC's default
  // keeps two), which cost more than the calls themselves.
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
    } else if (arg == "--credential-file") {
      options.credential_file = argv[++i];
    } else if (arg == "--credential-group") {
      options.credential_group = argv[++i];
    } else if (arg == "--tls-cert") {
      options.tls_cert = argv[++i];
    } else if (arg == "--tls-key") {
      options.tls_key = argv[++i];
    } else if (arg == "--login-wait") {
      char* end = nullptr;
      long seconds = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || seconds < 1 || seconds > 3600) return Usage();
      options.login_wait_seconds = static_cast<int>(seconds);
    } else {
      return Usage();
    }
  }
  for (const std::string* listen : {&options.app_listen, &options.sdk_listen}) {
    if (listen->rfind(':') == std::string::npos) return Usage();
  }
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    std::fprintf(stderr, "zeltod: --tls-cert and --tls-key go together\n");
    return 2;
  }
  if (options.credential_file.empty()) options.credential_file = options.db + ".credential";
  std::optional<CredentialGroup> group;
  if (!options.credential_group.empty()) {
    const struct group* found = getgrnam(options.credential_group.c_str());
    if (!found) {
      std::fprintf(stderr,
                   "zeltod: 没有名为 %s 的组 (--credential-group): 请先创建它 (groupadd %s)\n",
                   options.credential_group.c_str(), options.credential_group.c_str());
      return 2;
    }
    group = CredentialGroup{options.credential_group, found->gr_gid};
  }

  std::shared_ptr<grpc::ServerCredentials> transport = grpc::InsecureServerCredentials();
  if (!options.tls_cert.empty()) {
    grpc::SslServerCredentialsOptions::PemKeyCertPair pair;
    if (!ReadWholeFile(options.tls_key, &pair.private_key) ||
        !ReadWholeFile(options.tls_cert, &pair.cert_chain)) {
      std::fprintf(stderr, "zeltod: cannot read the TLS certificate %s or its key %s\n",
                   options.tls_cert.c_str(), options.tls_key.c_str());
      return 1;
    }
    grpc::SslServerCredentialsOptions ssl;
    ssl.pem_key_cert_pairs.push_back(pair);
    transport = grpc::SslServerCredentials(ssl);
    OPENSSL_cleanse(pair.private_key.data(), pair.private_key.size());
    for (auto& held : ssl.pem_key_cert_pairs) {
      OPENSSL_cleanse(held.private_key.data(), held.private_key.size());
    }
  }

  // gRPC's locks are abseil mutexes, which in this build check every lock taken against a
  // graph of the lock order seen so far: bookkeeping that cost more than the store's work.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);

  // Every thread the servers start inherits the blocked signals; only sigwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::unique_ptr<Store> store;
  try {
    store = std::make_unique<Store>(options.db);
  } catch (const StoreError& e) {
    std::fprintf(stderr, "zeltod: %s\n", e.what());
    return 1;
  }
  // A database made by an earlier zeltod under a looser umask is closed to others now; its
  // log files take the database's mode.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = options.db + suffix;
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && (st.st_mode & 077) != 0 && st.st_uid == geteuid()) {
      if (chmod(file.c_str(), 0600) == 0) {
        std::fprintf(stderr, "zeltod: 已把 %s 的权限改为 0600\n", file.c_str());
      } else {
        std::fprintf(stderr, "zeltod: 无法把 %s 的权限改为 0600: %s\n", file.c_str(),
                     strerror(errno));
      }
    }
  }
  std::string secret, error;
  bool created = false;
  if (!LoadOrCreateCredential(options.credential_file, &secret, &created, &error,
                              group ? &*group : nullptr)) {
    std::fprintf(stderr, "zeltod: %s\n", error.c_str());
    return 1;
  }
  if (created) {
    std::fprintf(stderr, "zeltod: created the credential file %s\n",
                 options.credential_file.c_str());
  }
  CredentialCheck check(std::move(secret));
  WipeCredential(&secret);

  AppHub hub;
  RootService root(&check);
  DeptService dept(store.get(), &check);
  UserService user(store.get(), &check);
  AdminService admin(store.get(), &hub, &check);
  ApplicationService application(store.get(), &hub, &check);
  AppServerService app_server(store.get(), &hub, std::chrono::seconds(options.login_wait_seconds));

  int sdk_port = 0, app_port = 0;
  std::unique_ptr<grpc::Server> sdk =
      StartServer(options.sdk_listen, transport, {&root, &dept, &user, &admin}, &sdk_port);
  if (!sdk || sdk_port == 0) {
    std::fprintf(stderr, "zeltod: cannot listen on %s (SDK server)\n", options.sdk_listen.c_str());
    return 1;
  }
  std::unique_ptr<grpc::Server> app =
      StartServer(options.app_listen, transport, {&application, &app_server}, &app_port);
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

int main(int argc, char** argv) {
  // A client that goes away mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);
  // Every file zeltod makes (the database, its log, the credential) is its user's alone.
  umask(077);
  return zelto::Run(argc, argv);
}
