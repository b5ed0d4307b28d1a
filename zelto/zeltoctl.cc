// zeltoctl: the command-line client of zeltod.
//
//   zeltoctl [--app HOST:PORT] [--sdk HOST:PORT] [--credential-file FILE] [--ca-file FILE]
//            COMMAND [ARGS]
//
// `login` talks to the application server, every other command to the SDK server, and
// needs the server's credential (--credential-file). With --ca-file both connections use
// TLS, the server's certificate checked against that CA.
// Passwords are read from standard input (one line), never from the command line.
#include <grpcpp/grpcpp.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zelto/credential.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace zelto {
namespace {

constexpr auto kCallTimeout = std::chrono::seconds(10);
// Longer than the server's own wait for the authentication application.
constexpr auto kLoginTimeout = std::chrono::seconds(15);

int Usage() {
  std::fprintf(stderr,
               "usage: zeltoctl [--app HOST:PORT] [--sdk HOST:PORT] [--credential-file FILE]\n"
               "                [--ca-file FILE] COMMAND\n"
               "commands:\n"
               "  tree                  the department tree with each department's accounts\n"
               "  dump                  the whole organisation as one JSON object\n"
               "  login ACCOUNT         log in (password on standard input)\n"
               "  passwd ACCOUNT        set the local password (from standard input)\n"
               "  add-dept PATH         create a department (and missing parents), e.g. A\\B\\\n"
               "  add-user ACCOUNT [PATH]  create an account, optionally in a department\n"
               "  set-auth ACCOUNT TYPE set the authentication type (0 local, 3 application)\n"
               "  stop-app              stop the registered authentication application\n");
  return 2;
}

class CallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Client {
  std::string app_address = "127.0.0.1:7100";
  std::string sdk_address = "127.0.0.1:7101";
  std::string credential;  // empty: none sent
  std::string ca_pem;      // empty: plain text
  std::shared_ptr<grpc::Channel> sdk_channel;

  ~Client() { WipeCredential(&credential); }

  std::shared_ptr<grpc::Channel> Channel(const std::string& address) const {
    if (ca_pem.empty()) return grpc::CreateChannel(address, grpc::InsecureChannelCredentials());
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = ca_pem;
    return grpc::CreateChannel(address, grpc::SslCredentials(ssl));
  }
  std::shared_ptr<grpc::Channel> Sdk() {
    if (!sdk_channel) sdk_channel = Channel(sdk_address);
    return sdk_channel;
  }
  std::shared_ptr<grpc::Channel> App() const { return Channel(app_address); }
};

// The client of the command being run; set once in Run.
const Client* g_client = nullptr;

// Runs one call with a deadline and the credential; a failure becomes a CallError naming the
// address.
template <typename Fn>
void Call(const std::string& address, std::chrono::seconds timeout, Fn&& fn) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + timeout);
  if (g_client && !g_client->credential.empty()) {
    context.AddMetadata(kCredentialHeader, g_client->credential);
  }
  grpc::Status status = fn(&context);
  if (status.ok()) return;
  if (status.error_code() == grpc::StatusCode::UNAUTHENTICATED) {
    throw CallError("zeltod at " + address + " refused the call: " + status.error_message() +
                    " (give its credential file with --credential-file)");
  }
  if (status.error_code() == grpc::StatusCode::UNAVAILABLE) {
    throw CallError("cannot reach zeltod at " + address + ": " + status.error_message());
  }
  if (status.error_code() == grpc::StatusCode::DEADLINE_EXCEEDED) {
    throw CallError("no answer from zeltod at " + address + " within " +
                    std::to_string(timeout.count()) + " s");
  }
  throw CallError(status.error_message());
}

bool ReadSecretLine(std::string* line) {
  if (!std::getline(std::cin, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

DumpReply FetchDump(Client& c) {
  auto stub = Admin::NewStub(c.Sdk());
  DumpReply reply;
  Call(c.sdk_address, kCallTimeout,
       [&](grpc::ClientContext* ctx) { return stub->Dump(ctx, Empty(), &reply); });
  return reply;
}

using Json = nlohmann::ordered_json;

// A value on one line, blanks after ":" and ",": {"account": "a", "departments": ["A\\"]}.
// Text that is not valid UTF-8 shows U+FFFD in its place, so the output is always JSON.
std::string OneLine(const Json& value) {
  if (value.is_object() || value.is_array()) {
    const bool object = value.is_object();
    std::string out = object ? "{" : "[";
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it != value.begin()) out += ", ";
      if (object) out += OneLine(it.key()) + ": ";
      out += OneLine(it.value());
    }
    return out + (object ? "}" : "]");
  }
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The dump's layout: a key of the top object to a line, an object in an array to a line,
// everything else inline. It reads well and greps well: one user, one line.
std::string Layout(const Json& document) {
  std::string out = "{";
  for (auto it = document.begin(); it != document.end(); ++it) {
    out += (it == document.begin() ? "\n  " : ",\n  ") + OneLine(it.key()) + ": ";
    const Json& value = it.value();
    if (!value.is_array() || value.empty() || !value.front().is_object()) {
      out += OneLine(value);
      continue;
    }
    for (auto e = value.begin(); e != value.end(); ++e)
      out += (e == value.begin() ? "[\n    " : ",\n    ") + OneLine(*e);
    out += "\n  ]";
  }
  return out + "\n}\n";
}

Json List(const google::protobuf::RepeatedPtrField<std::string>& items) {
  return Json(std::vector<std::string>(items.begin(), items.end()));
}

int Dump(Client& c) {
  DumpReply d = FetchDump(c);
  Json users = Json::array();
  for (const DumpUser& u : d.users()) {
    users.push_back({{"account", u.account()},
                     {"name", u.name()},
                     {"gender", u.gender()},
                     {"mobile", u.mobile()},
                     {"email", u.email()},
                     {"phone", u.phone()},
                     {"position", u.position()},
                     {"authType", u.auth_type()},
                     {"departments", List(u.departments())}});
  }
  const std::string out = Layout({{"departments", List(d.departments())}, {"users", users}});
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

std::string ParentOf(const std::string& path) {
  // "A\B\" -> "A\"; "A\" -> "".
  std::size_t cut = path.size() >= 2 ? path.rfind('\\', path.size() - 2) : std::string::npos;
  return cut == std::string::npos ? "" : path.substr(0, cut + 1);
}

int Tree(Client& c) {
  DumpReply d = FetchDump(c);
  std::map<std::string, std::vector<std::string>> children, accounts;
  for (const std::string& path : d.departments()) children[ParentOf(path)].push_back(path);
  for (const DumpUser& u : d.users()) {
    if (u.departments_size() == 0) accounts[""].push_back(u.account());
    for (const std::string& path : u.departments()) accounts[path].push_back(u.account());
  }
  auto line = [&](const std::string& label, int depth, const std::string& path) {
    std::string text(2 * depth, ' ');
    text += label;
    const auto& list = accounts[path];
    if (!list.empty()) {
      text += ":";
      for (const std::string& a : list) text += " " + a;
    }
    std::printf("%s\n", text.c_str());
  };
  line("(top)", 0, "");
  auto walk = [&](auto&& self, const std::string& parent, int depth) -> void {
    for (const std::string& path : children[parent]) {
      line(path.substr(parent.size()), depth, path);
      self(self, path, depth + 1);
    }
  };
  walk(walk, "", 1);
  return 0;
}

int Login(Client& c, const std::string& account) {
  LoginRequest request;
  request.set_account(account);
  if (!ReadSecretLine(request.mutable_password())) {
    std::fprintf(stderr, "zeltoctl: no password on standard input\n");
    return 2;
  }
  auto stub = AppServer::NewStub(c.App());
  LoginReply reply;
  Call(c.app_address, kLoginTimeout,
       [&](grpc::ClientContext* ctx) { return stub->ClientLogin(ctx, request, &reply); });
  WipeCredential(request.mutable_password());
  const char* word = reply.result() == 0   ? "accepted"
                     : reply.result() == 2 ? "wrong password"
                                           : "refused";
  std::printf("%s\n", word);
  if (!reply.reason().empty()) std::fprintf(stderr, "zeltoctl: %s\n", reply.reason().c_str());
  return reply.result() == 0 ? 0 : 1;
}

int Passwd(Client& c, const std::string& account) {
  PasswordRequest request;
  request.set_account(account);
  if (!ReadSecretLine(request.mutable_password())) {
    std::fprintf(stderr, "zeltoctl: no password on standard input\n");
    return 2;
  }
  auto stub = Admin::NewStub(c.Sdk());
  Empty reply;
  Call(c.sdk_address, kCallTimeout,
       [&](grpc::ClientContext* ctx) { return stub->SetPassword(ctx, request, &reply); });
  WipeCredential(request.mutable_password());
  return 0;
}

int AddDept(Client& c, const std::string& path) {
  auto stub = DeptManager::NewStub(c.Sdk());
  // Creates every missing level; the department itself must be new.
  std::string parent, rest = path;
  if (!rest.empty() && rest.back() != '\\') rest += '\\';
  if (rest.empty() || rest == "\\") throw CallError("add-dept needs a department path");
  if (rest.front() == '\\' || rest.find("\\\\") != std::string::npos) {
    throw CallError("department path \"" + path + "\" has an empty name in it");
  }
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = rest.find('\\', start);
    std::string name = rest.substr(start, end - start);
    std::string here = parent + name + "\\";
    bool last = end + 1 >= rest.size();
    BoolReply exists;
    DeptRef ref;
    ref.set_ref(here);
    Call(c.sdk_address, kCallTimeout,
         [&](grpc::ClientContext* ctx) { return stub->DepartmentExists(ctx, ref, &exists); });
    if (!exists.value() || last) {
      CreateUnderParentRequest request;
      request.set_parent_ref(parent);
      request.set_name(name);
      Empty reply;
      Call(c.sdk_address, kCallTimeout, [&](grpc::ClientContext* ctx) {
        return stub->CreateDepartmentUnderParent(ctx, request, &reply);
      });
    }
    parent = here;
    start = end + 1;
  }
  return 0;
}

int AddUser(Client& c, const std::string& account, const std::string* path) {
  auto users = UserManager::NewStub(c.Sdk());
  AddUserRequest request;
  request.set_account(account);
  request.set_auth_type(0);
  Empty reply;
  Call(c.sdk_address, kCallTimeout,
       [&](grpc::ClientContext* ctx) { return users->AddUser(ctx, request, &reply); });
  if (path && !path->empty()) {
    auto depts = DeptManager::NewStub(c.Sdk());
    MoveUserRequest move;
    move.set_account(account);
    move.set_new_ref(*path);
    try {
      Call(c.sdk_address, kCallTimeout,
           [&](grpc::ClientContext* ctx) { return depts->MoveUser(ctx, move, &reply); });
    } catch (const CallError&) {
      // Leave nothing half-done: the account goes again when it cannot join the department.
      Account drop;
      drop.set_account(account);
      grpc::ClientContext ctx;
      ctx.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
      if (!c.credential.empty()) ctx.AddMetadata(kCredentialHeader, c.credential);
      users->RemoveUser(&ctx, drop, &reply);
      throw;
    }
  }
  return 0;
}

int SetAuth(Client& c, const std::string& account, const std::string& type_text) {
  char* end = nullptr;
  long type = std::strtol(type_text.c_str(), &end, 10);
  if (type_text.empty() || *end != '\0' || type < 0 || type > 1000) {
    std::fprintf(stderr, "zeltoctl: TYPE must be a number\n");
    return 2;
  }
  auto users = UserManager::NewStub(c.Sdk());
  BasicInfo info;
  info.set_account(account);
  for (auto* field :
       {info.mutable_name(), info.mutable_mobile(), info.mutable_email(), info.mutable_phone()}) {
    *field = "ZELTO_NULL";
  }
  info.set_gender(-1);
  info.set_auth_type(static_cast<int>(type));
  Empty reply;
  Call(c.sdk_address, kCallTimeout,
       [&](grpc::ClientContext* ctx) { return users->SetUserBasicInfo(ctx, info, &reply); });
  return 0;
}

int StopApp(Client& c) {
  auto stub = Admin::NewStub(c.Sdk());
  Empty reply;
  Call(c.sdk_address, kCallTimeout,
       [&](grpc::ClientContext* ctx) { return stub->StopApplication(ctx, Empty(), &reply); });
  return 0;
}

bool ReadCaFile(const std::string& path, std::string* pem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *pem = s.str();
  return !in.bad() && !pem->empty();
}

int Run(int argc, char** argv) {
  Client c;
  g_client = &c;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--app" || arg == "--sdk") && i + 1 < argc) {
      (arg == "--app" ? c.app_address : c.sdk_address) = argv[++i];
    } else if (arg == "--credential-file" && i + 1 < argc) {
      std::string error;
      if (!ReadCredential(argv[++i], &c.credential, &error)) {
        std::fprintf(stderr, "zeltoctl: %s\n", error.c_str());
        return 2;
      }
    } else if (arg == "--ca-file" && i + 1 < argc) {
      if (!ReadCaFile(argv[++i], &c.ca_pem)) {
        std::fprintf(stderr, "zeltoctl: cannot read the CA file %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) return Usage();
  const std::string& cmd = args[0];
  try {
    if (cmd == "tree" && args.size() == 1) return Tree(c);
    if (cmd == "dump" && args.size() == 1) return Dump(c);
    if (cmd == "login" && args.size() == 2) return Login(c, args[1]);
    if (cmd == "passwd" && args.size() == 2) return Passwd(c, args[1]);
    if (cmd == "add-dept" && args.size() == 2) return AddDept(c, args[1]);
    if (cmd == "add-user" && (args.size() == 2 || args.size() == 3)) {
      return AddUser(c, args[1], args.size() == 3 ? &args[2] : nullptr);
    }
    if (cmd == "set-auth" && args.size() == 3) return SetAuth(c, args[1], args[2]);
    if (cmd == "stop-app" && args.size() == 1) return StopApp(c);
  } catch (const CallError& e) {
    std::fprintf(stderr, "zeltoctl: %s\n", e.what());
    return 1;
  }
  return Usage();
}

}  // namespace
}  // namespace zelto

int main(int argc, char** argv) {
  // A server that goes away mid-call ends the call with an error, not the tool.
  signal(SIGPIPE, SIG_IGN);
  return zelto::Run(argc, argv);
}
