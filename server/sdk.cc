#include "server/sdk.h"

#include <absl/synchronization/mutex.h>
#include <arpa/inet.h>
#include <grpcpp/grpcpp.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "config/credential.h"
#include "platform/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "zelto/credential.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace norvane {
namespace {

constexpr const char* kRootSource = "Zelto.Root";
constexpr const char* kDeptSource = "Zelto.DeptManager";
constexpr const char* kUserSource = "Zelto.UserManager";
constexpr const char* kAppSource = "Zelto.Application";
constexpr long kDefaultTimeoutMs = 10000;
constexpr const char* kSetCredentialHint =
    "set SDKCredentialFile to the server's credential file (zeltod --credential-file) with "
    "'norvanectl config set SDKCredentialFile FILE' or on the configuration wizard's Zelto "
    "server page";

std::atomic<std::uint64_t> g_call_count{0};
// Set once a refused credential has been logged; cleared by the next call that gets through,
// so a server that keeps refusing is said once, not at every watchdog probe.
std::atomic<bool> g_refusal_logged{false};

std::string FormatAddress(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ValidPort(int port) { return port > 0 && port <= 65535; }

bool IsValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return false;
    }
    i += len;
  }
  return true;
}

// Refuses, before any traffic, a text the wire cannot carry.
void CheckTexts(const char* source, const char* op,
                std::initializer_list<const std::string*> texts) {
  for (const std::string* t : texts) {
    if (!IsValidUtf8(*t)) {
      throw SdkError(kSdkErrorInvalidArg, source,
                     std::string(op) + ": an argument is not valid UTF-8 text");
    }
  }
}

// `credential_file`: the file the refused credential was read from ("" when none is set).
SdkError ErrorFromStatus(const grpc::Status& status, const char* source, const char* op,
                         const std::string& address, std::chrono::milliseconds timeout,
                         const std::string& credential_file) {
  const std::string& message = status.error_message();
  switch (status.error_code()) {
    case grpc::StatusCode::UNAUTHENTICATED:
      if (!g_refusal_logged.exchange(true)) {
        const std::string used = credential_file.empty()
                                     ? "no credential file configured"
                                     : "the credential was read from " + credential_file;
        WriteLog("The Zelto server at " + address + " refused Norvane's credential (" + message +
                 "): " + used + "; " + kSetCredentialHint);
      }
      return SdkError(kSdkErrorAccessDenied, source,
                      std::string(op) + ": the Zelto server at " + address +
                          " refused the credential (" + message + ")");
    case grpc::StatusCode::UNAVAILABLE:
      return SdkError(kSdkErrorUnavailable, source,
                      std::string(op) + ": the Zelto server at " + address + " is unreachable (" +
                          message + ")");
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      return SdkError(kSdkErrorTimeout, source,
                      std::string(op) + ": no answer from the Zelto server at " + address +
                          " within " + std::to_string(timeout.count()) + " ms");
    case grpc::StatusCode::CANCELLED:
      return SdkError(kSdkErrorCancelled, source,
                      std::string(op) + ": the call to " + address + " was cancelled");
    case grpc::StatusCode::INVALID_ARGUMENT:
      return SdkError(kSdkErrorInvalidArg, source, std::string(op) + ": " + message);
    case grpc::StatusCode::NOT_FOUND:
      return SdkError(kSdkErrorNotFound, source, std::string(op) + ": " + message);
    case grpc::StatusCode::ALREADY_EXISTS:
      return SdkError(kSdkErrorExists, source, std::string(op) + ": " + message);
    case grpc::StatusCode::FAILED_PRECONDITION:
      return SdkError(kSdkErrorPrecondition, source, std::string(op) + ": " + message);
    default:
      return SdkError(kSdkErrorFail, source,
                      std::string(op) + " failed at " + address + ": " + message);
  }
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// <Outer><Inner Name="..."/>...</Outer>
std::string NameListXml(const char* outer, const char* inner, const zelto::NameList& list) {
  std::string xml = std::string("<") + outer + ">";
  for (const std::string& name : list.names()) {
    xml += std::string("<") + inner + " Name=\"" + XmlEscape(name) + "\"/>";
  }
  return xml + "</" + outer + ">";
}

// A call fails at once while its channel is not connected, and a connection attempt only
// makes progress while some thread polls the channel. A synchronous caller that retries
// after a failure would otherwise wait for gRPC's backup poller, seconds later, to notice
// that the server is back. So the caller watches the channel through one attempt first:
// until it is ready, or that attempt has failed, or the deadline (at most two seconds).
void AwaitConnectionAttempt(grpc::Channel* channel,
                            std::chrono::system_clock::time_point deadline) {
  if (!channel) return;
  grpc_connectivity_state state = channel->GetState(true);
  if (state == GRPC_CHANNEL_READY) return;
  const auto limit = std::min(deadline, std::chrono::system_clock::now() + std::chrono::seconds(2));
  bool attempted = false;
  while (state != GRPC_CHANNEL_READY && state != GRPC_CHANNEL_SHUTDOWN) {
    if (state == GRPC_CHANNEL_CONNECTING) {
      attempted = true;
    } else if (state == GRPC_CHANNEL_TRANSIENT_FAILURE && attempted) {
      return;  // refused: the call fails at once with the reason
    }
    if (!channel->WaitForStateChange(state, limit)) return;
    state = channel->GetState(true);
  }
}

grpc::ChannelArguments ChannelArgs(bool keepalive) {
  grpc::ChannelArguments args;
  // A restarted server is found again within about a second. The minimum back-off is also
  // the connect time-out, which must leave a busy server time to answer.
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 200);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 1000);
  args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 5000);
  args.SetMaxReceiveMessageSize(64 * 1024 * 1024);
  if (keepalive) {
    // The event connection has no deadline; pings notice a server that went away.
    args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 10000);
    args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 5000);
    args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
    args.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
  }
  return args;
}

// Plain text is allowed to this machine only: a literal loopback address or "localhost".
bool IsLoopbackHost(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (EqualsNoCase(host, "localhost") || EqualsNoCase(host, "localhost.")) return true;
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::string MakeSession() {
  std::random_device rd;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
  return buf;
}

}  // namespace

// How every call reaches the server: the one place where the component's channels are
// built and its calls given the credential, whichever way a call is made (synchronous,
// asynchronous, the event stream). Constant after construction.
struct SdkTransport {
  std::string credential;       // sent with every call; empty: none
  std::string credential_file;  // where it was read from, for the refusal's log line
  std::string ca_pem;           // TLS with the server's certificate checked against it

  SdkTransport() = default;
  SdkTransport(const SdkTransport&) = delete;
  SdkTransport& operator=(const SdkTransport&) = delete;
  ~SdkTransport() { WipePassword(credential); }

  // Null when plain text would leave this machine (`host` not a loopback address, no CA).
  std::shared_ptr<grpc::Channel> MakeChannel(const std::string& host, const std::string& address,
                                             bool keepalive) const {
    if (ca_pem.empty()) {
      if (!IsLoopbackHost(host)) return nullptr;
      return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(),
                                       ChannelArgs(keepalive));
    }
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = ca_pem;
    return grpc::CreateCustomChannel(address, grpc::SslCredentials(ssl), ChannelArgs(keepalive));
  }

  // REQUIRES: called before the call starts.
  void Authorize(grpc::ClientContext* context) const {
    if (!credential.empty()) context->AddMetadata(zelto::kCredentialHeader, credential);
  }

  // Reads the files of `security`; false with the reason when one cannot be used.
  bool Load(const SdkSecurity& security, std::string* error) {
    credential_file = security.credential_file;
    if (!security.credential_file.empty() &&
        !zelto::ReadCredential(security.credential_file, &credential, error)) {
      *error = "Zelto " + *error + "; " + kSetCredentialHint;
      return false;
    }
    if (!security.ca_file.empty() && (!ReadFile(security.ca_file, &ca_pem) || ca_pem.empty())) {
      *error = "cannot read the Zelto server's CA file " + security.ca_file;
      return false;
    }
    return true;
  }
};

namespace {

std::string PlainTextRefusal(const std::string& what, const std::string& address) {
  return what + " " + address +
         " is not on this machine and SDKCAFile names no CA: no call is made in plain text";
}

}  // namespace

// State shared by a root and its sub-objects.
struct SdkCore {
  // Constant after construction.
  SdkTransport transport;
  std::string sdk_address;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<zelto::Root::Stub> root;
  std::unique_ptr<zelto::DeptManager::Stub> dept;
  std::unique_ptr<zelto::UserManager::Stub> user;

  std::atomic<long> timeout_ms{kDefaultTimeoutMs};

  std::mutex mu;
  // Guarded by mu.
  std::string app_host;
  int app_port = 0;

  std::chrono::milliseconds Timeout() const { return std::chrono::milliseconds(timeout_ms.load()); }

  // Runs one remote call on `channel` with the deadline; a failure becomes an SdkError.
  template <typename Fn>
  void Invoke(grpc::Channel* channel, const std::string& address, const char* source,
              const char* op, Fn&& fn) {
    std::chrono::milliseconds timeout = Timeout();
    const auto deadline = std::chrono::system_clock::now() + timeout;
    AwaitConnectionAttempt(channel, deadline);
    grpc::ClientContext context;
    context.set_deadline(deadline);
    transport.Authorize(&context);
    g_call_count.fetch_add(1, std::memory_order_relaxed);
    grpc::Status status = fn(&context);
    if (!status.ok()) {
      throw ErrorFromStatus(status, source, op, address, timeout, transport.credential_file);
    }
    g_refusal_logged.store(false, std::memory_order_relaxed);
  }
};

std::string SdkErrorMeaning(long code) {
  struct Known {
    long code;
    const char* text;
  };
  static const Known kKnown[] = {
      {kSdkErrorFail, "未指定的错误"},
      {kSdkErrorInvalidArg, "参数错误。"},
      {kSdkErrorUnavailable, "RPC 服务器不可用。"},
      {kSdkErrorTimeout, "超时时间已到。"},
      {kSdkErrorCancelled, "操作已被用户取消。"},
      {kSdkErrorAccessDenied, "拒绝访问。"},
  };
  for (const Known& k : kKnown) {
    if (k.code == code) return k.text;
  }
  char buf[64];
  if (code >= 0x80040200L && code <= 0x8004FFFFL) {
    std::snprintf(buf, sizeof buf, "IDispatch error #%d", static_cast<int>(code - 0x80040200L));
  } else {
    std::snprintf(buf, sizeof buf, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
  }
  return buf;
}

std::string ComposeSdkErrorText(const SdkError& error) {
  char code[32];
  std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(error.code));
  std::string text = "发生错误!\n";
  text += "Code = " + std::string(code) + "\n";
  text += "Code meaning = " + SdkErrorMeaning(error.code) + "\n";
  text += "Source = " + (error.source.empty() ? std::string("null") : error.source) + "\n";
  text += "Description = " + (error.description.empty() ? std::string("null") : error.description) +
          "\n";
  return text;
}

void ReportSdkError(const SdkError& error) { WriteLog(ComposeSdkErrorText(error)); }

std::uint64_t SdkCallCount() { return g_call_count.load(std::memory_order_relaxed); }

// ---- root -----------------------------------------------------------------------------

SdkRoot::SdkRoot() : core_(std::make_unique<SdkCore>()) {}

SdkRoot::~SdkRoot() {
  // The application's event thread may still refer to the core; it goes first.
  app_.reset();
}

std::unique_ptr<SdkRoot> SdkRoot::Create(const std::string& host, int port,
                                         const SdkSecurity& security) {
  if (host.empty() || !ValidPort(port) || !IsValidUtf8(host) ||
      host.find_first_of(" \t\r\n/") != std::string::npos) {
    return nullptr;
  }
  // gRPC's locks are abseil mutexes, which in this build check every lock taken against a
  // graph of the lock order seen so far: bookkeeping that costs a long import dearly.
  static std::once_flag quiet_locks;
  std::call_once(quiet_locks,
                 [] { absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore); });
  std::unique_ptr<SdkRoot> root(new SdkRoot());
  SdkCore& core = *root->core_;
  core.sdk_address = FormatAddress(host, port);
  std::string error;
  if (!core.transport.Load(security, &error)) {
    WriteLog(error);
    return nullptr;
  }
  core.channel = core.transport.MakeChannel(host, core.sdk_address, false);
  if (!core.channel) {
    if (core.transport.ca_pem.empty() && !IsLoopbackHost(host)) {
      WriteLog(PlainTextRefusal("The Zelto SDK server", core.sdk_address));
    }
    return nullptr;
  }
  core.root = zelto::Root::NewStub(core.channel);
  core.dept = zelto::DeptManager::NewStub(core.channel);
  core.user = zelto::UserManager::NewStub(core.channel);
  root->dept_.reset(new SdkDeptManager(root->core_.get()));
  root->user_.reset(new SdkUserManager(root->core_.get()));
  root->app_.reset(new SdkApplication(root->core_.get()));
  return root;
}

void SdkRoot::SetServerAddress(const std::string& host) {
  if (host.empty() || !IsValidUtf8(host) || host.find_first_of(" \t\r\n/") != std::string::npos) {
    throw SdkError(kSdkErrorInvalidArg, kRootSource,
                   "SetServerAddress: \"" + host + "\" is not a usable server address");
  }
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->app_host = host;
}

void SdkRoot::SetServerPort(int port) {
  if (!ValidPort(port)) {
    throw SdkError(kSdkErrorInvalidArg, kRootSource,
                   "SetServerPort: " + std::to_string(port) + " is not a port (1..65535)");
  }
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->app_port = port;
}

std::string SdkRoot::ServerText() {
  zelto::TextReply reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kRootSource, "ServerText",
                [&](grpc::ClientContext* c) {
                  return core_->root->GetServerText(c, zelto::Empty(), &reply);
                });
  return reply.text();
}

SdkApplication* SdkRoot::Application() { return app_.get(); }
SdkUserManager* SdkRoot::UserManager() { return user_.get(); }
SdkDeptManager* SdkRoot::DeptManager() { return dept_.get(); }
SdkExtraObject* SdkRoot::FirstExtraObject() { return &extra1_; }
SdkExtraObject* SdkRoot::SecondExtraObject() { return &extra2_; }

void SdkRoot::SetCallTimeout(std::chrono::milliseconds timeout) {
  core_->timeout_ms = static_cast<long>(timeout.count() > 0 ? timeout.count() : 1);
}

std::string SdkRoot::SdkAddress() const { return core_->sdk_address; }

// ---- department manager ---------------------------------------------------------------

void SdkDeptManager::AddDepartment(const std::string& name, const std::string& parent_path) {
  CheckTexts(kDeptSource, "AddDepartment", {&name, &parent_path});
  zelto::AddDepartmentRequest r;
  r.set_name(name);
  r.set_parent_ref(parent_path);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "AddDepartment",
                [&](grpc::ClientContext* c) { return core_->dept->AddDepartment(c, r, &reply); });
}

void SdkDeptManager::RemoveDepartment(const std::string& path, int flags) {
  CheckTexts(kDeptSource, "RemoveDepartment", {&path});
  zelto::RemoveDepartmentRequest r;
  r.set_ref(path);
  r.set_flags(flags);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "RemoveDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->RemoveDepartment(c, r, &reply); });
}

void SdkDeptManager::RenameDepartment(const std::string& path, const std::string& new_name) {
  CheckTexts(kDeptSource, "RenameDepartment", {&path, &new_name});
  zelto::RenameDepartmentRequest r;
  r.set_ref(path);
  r.set_new_name(new_name);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "RenameDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->RenameDepartment(c, r, &reply); });
}

std::string SdkDeptManager::ParentsOfDepartment(const std::string& name) {
  CheckTexts(kDeptSource, "ParentsOfDepartment", {&name});
  zelto::DeptRef r;
  r.set_ref(name);
  zelto::TextReply reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "ParentsOfDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->ParentsOfDepartment(c, r, &reply); });
  return reply.text();
}

void SdkDeptManager::MoveDepartment(const std::string& path, const std::string& new_parent_path) {
  CheckTexts(kDeptSource, "MoveDepartment", {&path, &new_parent_path});
  zelto::MoveDepartmentRequest r;
  r.set_ref(path);
  r.set_new_parent_ref(new_parent_path);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "MoveDepartment",
                [&](grpc::ClientContext* c) { return core_->dept->MoveDepartment(c, r, &reply); });
}

std::string SdkDeptManager::ChildDepartments(const std::string& path) {
  CheckTexts(kDeptSource, "ChildDepartments", {&path});
  zelto::DeptRef r;
  r.set_ref(path);
  zelto::NameList reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "ChildDepartments",
      [&](grpc::ClientContext* c) { return core_->dept->ChildDepartments(c, r, &reply); });
  return NameListXml("Departments", "Department", reply);
}

std::string SdkDeptManager::DepartmentUsers(const std::string& path) {
  CheckTexts(kDeptSource, "DepartmentUsers", {&path});
  zelto::DeptRef r;
  r.set_ref(path);
  zelto::NameList reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentUsers",
                [&](grpc::ClientContext* c) { return core_->dept->DepartmentUsers(c, r, &reply); });
  return NameListXml("Users", "User", reply);
}

void SdkDeptManager::TakeUserOutOfDepartment(const std::string& account, const std::string& path) {
  CheckTexts(kDeptSource, "TakeUserOutOfDepartment", {&account, &path});
  zelto::MembershipRequest r;
  r.set_account(account);
  r.set_ref(path);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "TakeUserOutOfDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->TakeUserOutOfDepartment(c, r, &reply); });
}

namespace {

// The requests that the one-at-a-time calls and the pipeline send alike, texts checked first.
zelto::MoveUserRequest MoveUserRequest(const std::string& account, const std::string& old_path,
                                       const std::string& new_path, int flags) {
  CheckTexts(kDeptSource, "MoveUser", {&account, &old_path, &new_path});
  zelto::MoveUserRequest r;
  r.set_account(account);
  r.set_old_ref(old_path);
  r.set_new_ref(new_path);
  r.set_flags(flags);
  return r;
}

zelto::AddUserRequest AddUserRequest(const std::string& account, int auth_type) {
  CheckTexts(kUserSource, "AddUser", {&account});
  zelto::AddUserRequest r;
  r.set_account(account);
  r.set_auth_type(auth_type);
  return r;
}

zelto::BasicInfo BasicInfoRequest(const std::string& account, const std::string& name, int gender,
                                  const std::string& mobile, const std::string& email,
                                  const std::string& phone, int auth_type) {
  CheckTexts(kUserSource, "SetUserBasicInfo", {&account, &name, &mobile, &email, &phone});
  zelto::BasicInfo r;
  r.set_account(account);
  r.set_name(name);
  r.set_gender(gender);
  r.set_mobile(mobile);
  r.set_email(email);
  r.set_phone(phone);
  r.set_auth_type(auth_type);
  return r;
}

zelto::Details DetailsRequest(const std::string& account, int age, int birthday, int bloodtype,
                              const std::string& fax, const std::string& homepage,
                              const std::string& address, const std::string& postcode,
                              const std::string& country, const std::string& province,
                              const std::string& city, const std::string& college,
                              const std::string& memo, const std::string& position, int type) {
  CheckTexts(kUserSource, "SetUserDetails",
             {&account, &fax, &homepage, &address, &postcode, &country, &province, &city, &college,
              &memo, &position});
  zelto::Details r;
  r.set_account(account);
  r.set_age(age);
  r.set_birthday(birthday);
  r.set_blood_type(bloodtype);
  r.set_fax(fax);
  r.set_homepage(homepage);
  r.set_address(address);
  r.set_postcode(postcode);
  r.set_country(country);
  r.set_province(province);
  r.set_city(city);
  r.set_college(college);
  r.set_memo(memo);
  r.set_position(position);
  r.set_type(type);
  return r;
}

}  // namespace

void SdkDeptManager::MoveUser(const std::string& account, const std::string& old_path,
                              const std::string& new_path, int flags) {
  zelto::MoveUserRequest r = MoveUserRequest(account, old_path, new_path, flags);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "MoveUser",
                [&](grpc::ClientContext* c) { return core_->dept->MoveUser(c, r, &reply); });
}

std::string SdkDeptManager::DepartmentsOfUser(const std::string& account) {
  CheckTexts(kDeptSource, "DepartmentsOfUser", {&account});
  zelto::Account r;
  r.set_account(account);
  zelto::NameList reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentsOfUser",
      [&](grpc::ClientContext* c) { return core_->dept->DepartmentsOfUser(c, r, &reply); });
  return NameListXml("Departments", "Department", reply);
}

void SdkDeptManager::CreateDepartmentUnderParent(const std::string& parent_path,
                                                 const std::string& name, int flags) {
  CheckTexts(kDeptSource, "CreateDepartmentUnderParent", {&parent_path, &name});
  zelto::CreateUnderParentRequest r;
  r.set_parent_ref(parent_path);
  r.set_name(name);
  r.set_flags(flags);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource,
                "CreateDepartmentUnderParent", [&](grpc::ClientContext* c) {
                  return core_->dept->CreateDepartmentUnderParent(c, r, &reply);
                });
}

bool SdkDeptManager::DepartmentExists(const std::string& name_or_path) {
  CheckTexts(kDeptSource, "DepartmentExists", {&name_or_path});
  zelto::DeptRef r;
  r.set_ref(name_or_path);
  zelto::BoolReply reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentExists",
      [&](grpc::ClientContext* c) { return core_->dept->DepartmentExists(c, r, &reply); });
  return reply.value();
}

// ---- user manager ---------------------------------------------------------------------

void SdkUserManager::AddUser(const std::string& account, int auth_type) {
  zelto::AddUserRequest r = AddUserRequest(account, auth_type);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "AddUser",
                [&](grpc::ClientContext* c) { return core_->user->AddUser(c, r, &reply); });
}

void SdkUserManager::RemoveUser(const std::string& account) {
  CheckTexts(kUserSource, "RemoveUser", {&account});
  zelto::Account r;
  r.set_account(account);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "RemoveUser",
                [&](grpc::ClientContext* c) { return core_->user->RemoveUser(c, r, &reply); });
}

void SdkUserManager::SetUserBasicInfo(const std::string& account, const std::string& name,
                                      int gender, const std::string& mobile,
                                      const std::string& email, const std::string& phone,
                                      int auth_type) {
  zelto::BasicInfo r = BasicInfoRequest(account, name, gender, mobile, email, phone, auth_type);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kUserSource, "SetUserBasicInfo",
      [&](grpc::ClientContext* c) { return core_->user->SetUserBasicInfo(c, r, &reply); });
}

void SdkUserManager::SetUserDetails(const std::string& account, int age, int birthday,
                                    int bloodtype, const std::string& fax,
                                    const std::string& homepage, const std::string& address,
                                    const std::string& postcode, const std::string& country,
                                    const std::string& province, const std::string& city,
                                    const std::string& college, const std::string& memo,
                                    const std::string& position, int type) {
  zelto::Details r =
      DetailsRequest(account, age, birthday, bloodtype, fax, homepage, address, postcode, country,
                     province, city, college, memo, position, type);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "SetUserDetails",
                [&](grpc::ClientContext* c) { return core_->user->SetUserDetails(c, r, &reply); });
}

bool SdkUserManager::UserExists(const std::string& account) {
  CheckTexts(kUserSource, "UserExists", {&account});
  zelto::Account r;
  r.set_account(account);
  zelto::BoolReply reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "UserExists",
                [&](grpc::ClientContext* c) { return core_->user->UserExists(c, r, &reply); });
  return reply.value();
}

// ---- application ----------------------------------------------------------------------

// One event connection. Shared by the application object and the event thread, so that
// the thread can finish on its own when the application object is destroyed from inside
// a callback.
struct SdkEventLink {
  std::shared_ptr<grpc::Channel> channel;
  std::string session;
  std::string address;
  SdkEventSink* sink = nullptr;
  grpc::ClientContext context;
  std::atomic<bool> closing{false};  // set by Disconnect: deliver nothing more
  std::atomic<bool> live{false};

  // Whether the thread is inside a sink call; set only while closing is false, so that
  // Disconnect knows whether the thread can be joined at once.
  std::mutex callback_mu;
  bool in_callback = false;  // guarded by callback_mu

  bool EnterCallback() {
    std::lock_guard<std::mutex> lock(callback_mu);
    if (closing) return false;
    in_callback = true;
    return true;
  }
  void LeaveCallback() {
    std::lock_guard<std::mutex> lock(callback_mu);
    in_callback = false;
  }
  // Sets closing; true when a sink call is in progress.
  bool Close() {
    std::lock_guard<std::mutex> lock(callback_mu);
    closing = true;
    return in_callback;
  }

  std::mutex mu;
  std::condition_variable cv;
  // Guarded by mu.
  enum class State { kOpening, kOpen, kFailed } state = State::kOpening;
  grpc::Status failure;
};

namespace {

void RunEvents(std::shared_ptr<SdkEventLink> link) {
  auto stub = zelto::Application::NewStub(link->channel);
  g_call_count.fetch_add(1, std::memory_order_relaxed);
  std::unique_ptr<grpc::ClientReaderWriter<zelto::AppMessage, zelto::AppEvent>> stream =
      stub->Events(&link->context);
  zelto::AppMessage hello;
  hello.mutable_hello()->set_session(link->session);
  zelto::AppEvent event;
  bool ok = stream->Write(hello) && stream->Read(&event) && event.has_connected();
  if (!ok) {
    grpc::Status status = stream->Finish();
    if (status.ok()) {
      status = grpc::Status(grpc::StatusCode::UNKNOWN, "the server closed the event connection");
    }
    std::lock_guard<std::mutex> lock(link->mu);
    link->state = SdkEventLink::State::kFailed;
    link->failure = status;
    link->cv.notify_all();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(link->mu);
    link->state = SdkEventLink::State::kOpen;
    link->live = true;
    link->cv.notify_all();
  }
  while (!link->closing && stream->Read(&event)) {
    if (event.has_app_stopped()) break;
    if (!event.has_login_verify()) continue;
    zelto::LoginVerify* verify = event.mutable_login_verify();
    if (!link->EnterCallback()) break;
    const auto deadline = verify->deadline_unix_ms() > 0
                              ? std::chrono::system_clock::time_point(
                                    std::chrono::milliseconds(verify->deadline_unix_ms()))
                              : std::chrono::system_clock::time_point::max();
    int result = 1;
    try {
      result = link->sink->OnLoginVerify(verify->account(), verify->password(), deadline);
    } catch (...) {
      result = 1;
    }
    link->LeaveCallback();
    OPENSSL_cleanse(verify->mutable_password()->data(), verify->password().size());
    if (result < 0 || result > 2) result = 1;
    if (link->closing) break;
    zelto::AppMessage answer;
    answer.mutable_verify_answer()->set_request_id(verify->request_id());
    answer.mutable_verify_answer()->set_result(result);
    if (!stream->Write(answer)) break;
  }
  link->live = false;
  bool deliver = !link->closing;
  stream->WritesDone();
  // Bounded: the status is not worth waiting for.
  link->context.TryCancel();
  stream->Finish();
  // Last thing the thread does: the sink may destroy the application object from here.
  if (deliver) link->sink->OnAppStopped();
}

}  // namespace

struct SdkApplication::Impl {
  SdkCore* core;
  std::string session = MakeSession();

  std::mutex mu;
  // Guarded by mu.
  std::string address;
  std::shared_ptr<grpc::Channel> channel;
  std::shared_ptr<zelto::Application::Stub> stub;
  std::shared_ptr<SdkEventLink> link;
  std::thread thread;

  // The stub for the application server currently set on the root.
  std::shared_ptr<zelto::Application::Stub> Stub(const char* op, std::string* address_out,
                                                 std::shared_ptr<grpc::Channel>* channel_out) {
    std::string host;
    int port;
    {
      std::lock_guard<std::mutex> lock(core->mu);
      host = core->app_host;
      port = core->app_port;
    }
    if (host.empty() || port == 0) {
      throw SdkError(
          kSdkErrorInvalidArg, kAppSource,
          std::string(op) + ": the application server's address and port are not set on the root");
    }
    std::string wanted = FormatAddress(host, port);
    std::lock_guard<std::mutex> lock(mu);
    if (!stub || wanted != address) {
      std::shared_ptr<grpc::Channel> made = core->transport.MakeChannel(host, wanted, true);
      if (!made) {
        std::string text = PlainTextRefusal("The Zelto application server", wanted);
        WriteLog(text);
        throw SdkError(kSdkErrorAccessDenied, kAppSource, std::string(op) + ": " + text);
      }
      address = wanted;
      channel = std::move(made);
      stub = zelto::Application::NewStub(channel);
    }
    *address_out = address;
    if (channel_out) *channel_out = channel;
    return stub;
  }

  template <typename Fn>
  void Invoke(const char* op, Fn&& fn) {
    std::string where;
    std::shared_ptr<grpc::Channel> channel;
    std::shared_ptr<zelto::Application::Stub> s = Stub(op, &where, &channel);
    core->Invoke(channel.get(), where, kAppSource, op,
                 [&](grpc::ClientContext* c) { return fn(*s, c); });
  }
};

SdkApplication::SdkApplication(SdkCore* core) : impl_(std::make_unique<Impl>()) {
  impl_->core = core;
}

SdkApplication::~SdkApplication() { Disconnect(); }

void SdkApplication::SetIdentifier(const std::string& identifier) {
  CheckTexts(kAppSource, "SetIdentifier", {&identifier});
  zelto::AppText r;
  r.set_session(impl_->session);
  r.set_text(identifier);
  zelto::Empty reply;
  impl_->Invoke("SetIdentifier", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetIdentifier(c, r, &reply);
  });
}

void SdkApplication::SetName(const std::string& name) {
  CheckTexts(kAppSource, "SetName", {&name});
  zelto::AppText r;
  r.set_session(impl_->session);
  r.set_text(name);
  zelto::Empty reply;
  impl_->Invoke("SetName", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetName(c, r, &reply);
  });
}

void SdkApplication::Register() {
  zelto::AppSession r;
  r.set_session(impl_->session);
  zelto::Empty reply;
  impl_->Invoke("Register", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Register(c, r, &reply);
  });
}

int SdkApplication::Start(const std::string& text, int mode) {
  CheckTexts(kAppSource, "Start", {&text});
  zelto::StartRequest r;
  r.set_session(impl_->session);
  r.set_text(text);
  r.set_mode(mode);
  zelto::IntReply reply;
  impl_->Invoke("Start", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Start(c, r, &reply);
  });
  return reply.value();
}

void SdkApplication::Stop() {
  zelto::AppSession r;
  r.set_session(impl_->session);
  zelto::Empty reply;
  impl_->Invoke("Stop", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Stop(c, r, &reply);
  });
}

void SdkApplication::SetUserAuthType(const std::string& account, int auth_type) {
  CheckTexts(kAppSource, "SetUserAuthType", {&account});
  zelto::AuthTypeRequest r;
  r.set_session(impl_->session);
  r.set_account(account);
  r.set_auth_type(auth_type);
  zelto::Empty reply;
  impl_->Invoke("SetUserAuthType", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetUserAuthType(c, r, &reply);
  });
}

bool SdkApplication::AccountUsesApplication(const std::string& account) {
  CheckTexts(kAppSource, "AccountUsesApplication", {&account});
  zelto::AppAccount r;
  r.set_session(impl_->session);
  r.set_account(account);
  zelto::BoolReply reply;
  impl_->Invoke("AccountUsesApplication", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.AccountUsesApplication(c, r, &reply);
  });
  return reply.value();
}

void SdkApplication::Connect(SdkEventSink* sink) {
  if (!sink) throw SdkError(kSdkErrorInvalidArg, kAppSource, "Connect: no event sink");
  Disconnect();
  auto link = std::make_shared<SdkEventLink>();
  impl_->Stub("Connect", &link->address, &link->channel);
  impl_->core->transport.Authorize(&link->context);
  link->session = impl_->session;
  link->sink = sink;
  std::thread thread(RunEvents, link);

  std::chrono::milliseconds timeout = impl_->core->Timeout();
  std::unique_lock<std::mutex> lock(link->mu);
  bool settled = link->cv.wait_for(lock, timeout,
                                   [&] { return link->state != SdkEventLink::State::kOpening; });
  if (!settled || link->state == SdkEventLink::State::kFailed) {
    grpc::Status failure =
        settled ? link->failure : grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, "");
    lock.unlock();
    link->closing = true;
    link->context.TryCancel();
    thread.join();
    throw ErrorFromStatus(failure, kAppSource, "Connect", link->address, timeout,
                          impl_->core->transport.credential_file);
  }
  lock.unlock();
  std::lock_guard<std::mutex> guard(impl_->mu);
  impl_->link = std::move(link);
  impl_->thread = std::move(thread);
}

void SdkApplication::Disconnect() {
  std::shared_ptr<SdkEventLink> link;
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    link = std::move(impl_->link);
    thread = std::move(impl_->thread);
  }
  if (!link) return;
  const bool in_callback = link->Close();
  link->context.TryCancel();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id() || in_callback) {
      // Called from a callback, or a callback is still at work (a slow login check): the
      // thread ends on its own once the callback returns, delivering nothing more and
      // touching only the link it shares.
      thread.detach();
    } else {
      thread.join();
    }
  }
}

bool SdkApplication::Connected() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->link && impl_->link->live;
}

}  // namespace norvane

// ---- asynchronous path ----------------------------------------------------------------

namespace norvane {

struct SdkPipeline::CallState {
  const char* source = nullptr;
  const char* op = nullptr;
  zelto::UserWrite write;
};

struct SdkPipeline::Task {
  std::string key;
  std::vector<Call> calls;
  Finished finished;
  bool started = false;
};

// One WriteBatch call in flight: the tasks it carries, in the request's order.
struct SdkPipeline::Batch {
  std::vector<Task*> tasks;
  grpc::ClientContext context;
  zelto::WriteBatchRequest request;
  zelto::WriteBatchReply reply;
  grpc::Status status;
  std::chrono::milliseconds timeout{0};
  std::unique_ptr<grpc::ClientAsyncResponseReader<zelto::WriteBatchReply>> reader;
};

SdkPipeline::Call SdkPipeline::NewCall(const char* source, const char* op,
                                       zelto::UserWrite&& write) {
  auto state = std::make_shared<CallState>();
  state->source = source;
  state->op = op;
  state->write = std::move(write);
  return Call(std::move(state));
}

SdkPipeline::SdkPipeline(SdkRoot* root, std::size_t window)
    : root_(root),
      window_(window > 0 ? window : 1),
      batch_size_(std::max<std::size_t>(1, window_ / 4)),
      queue_(std::make_unique<grpc::CompletionQueue>()) {}

SdkPipeline::~SdkPipeline() {
  // The calls in flight must end before their contexts and the queue go.
  ready_.clear();
  for (auto& [key, tasks] : keys_) {
    for (auto& task : tasks) task->finished = nullptr;
  }
  while (in_flight_ > 0) Step();
  queue_->Shutdown();
  void* tag;
  bool ok;
  while (queue_->Next(&tag, &ok)) {
  }
}

SdkPipeline::Call SdkPipeline::AddUser(const std::string& account, int auth_type) {
  zelto::UserWrite w;
  *w.mutable_add_user() = AddUserRequest(account, auth_type);
  return NewCall(kUserSource, "AddUser", std::move(w));
}

SdkPipeline::Call SdkPipeline::MoveUser(const std::string& account, const std::string& old_path,
                                        const std::string& new_path, int flags) {
  zelto::UserWrite w;
  *w.mutable_move_user() = MoveUserRequest(account, old_path, new_path, flags);
  return NewCall(kDeptSource, "MoveUser", std::move(w));
}

SdkPipeline::Call SdkPipeline::TakeUserOutOfDepartment(const std::string& account,
                                                       const std::string& path) {
  CheckTexts(kDeptSource, "TakeUserOutOfDepartment", {&account, &path});
  zelto::UserWrite w;
  w.mutable_take_user_out()->set_account(account);
  w.mutable_take_user_out()->set_ref(path);
  return NewCall(kDeptSource, "TakeUserOutOfDepartment", std::move(w));
}

// Goes with the account's other writes to the SDK server (the same server's store), so
// that they stay in their order within one call.
SdkPipeline::Call SdkPipeline::SetUserAuthType(const std::string& account, int auth_type) {
  CheckTexts(kAppSource, "SetUserAuthType", {&account});
  zelto::UserWrite w;
  w.mutable_set_auth_type()->set_account(account);
  w.mutable_set_auth_type()->set_auth_type(auth_type);
  return NewCall(kAppSource, "SetUserAuthType", std::move(w));
}

SdkPipeline::Call SdkPipeline::SetUserBasicInfo(const std::string& account, const std::string& name,
                                                int gender, const std::string& mobile,
                                                const std::string& email, const std::string& phone,
                                                int auth_type) {
  zelto::UserWrite w;
  *w.mutable_basic_info() =
      BasicInfoRequest(account, name, gender, mobile, email, phone, auth_type);
  return NewCall(kUserSource, "SetUserBasicInfo", std::move(w));
}

SdkPipeline::Call SdkPipeline::SetUserDetails(
    const std::string& account, int age, int birthday, int bloodtype, const std::string& fax,
    const std::string& homepage, const std::string& address, const std::string& postcode,
    const std::string& country, const std::string& province, const std::string& city,
    const std::string& college, const std::string& memo, const std::string& position, int type) {
  zelto::UserWrite w;
  *w.mutable_details() =
      DetailsRequest(account, age, birthday, bloodtype, fax, homepage, address, postcode, country,
                     province, city, college, memo, position, type);
  return NewCall(kUserSource, "SetUserDetails", std::move(w));
}

void SdkPipeline::Send(const std::string& key, std::vector<Call> calls, Finished finished) {
  auto task = std::make_unique<Task>();
  task->key = key;
  task->calls = std::move(calls);
  task->finished = std::move(finished);
  Task* t = task.get();
  auto& tasks = keys_[key];
  tasks.push_back(std::move(task));
  if (tasks.size() == 1) ready_.push_back(t);
  // Full batches go out at once; a partial one waits for more tasks, or for Wait.
  while (ready_.size() >= batch_size_) {
    if (in_flight_ + batch_size_ <= window_) {
      StartBatch(batch_size_);
    } else {
      Step();
    }
  }
}

void SdkPipeline::Wait() {
  while (!keys_.empty()) {
    if (!ready_.empty() && in_flight_ < window_) {
      StartBatch(std::min({ready_.size(), batch_size_, window_ - in_flight_}));
      continue;
    }
    if (in_flight_ == 0) break;  // cannot happen: a queued task is in flight or ready
    Step();
  }
}

bool SdkPipeline::Busy(const std::string& key) const { return keys_.count(key) > 0; }

void SdkPipeline::StartBatch(std::size_t count) {
  auto batch = std::make_unique<Batch>();
  while (batch->tasks.size() < count && !ready_.empty()) {
    Task* task = ready_.front();
    ready_.pop_front();
    if (task->calls.empty()) {
      Finish(task, nullptr);  // may make the key's next task ready
      continue;
    }
    task->started = true;
    ++in_flight_;
    zelto::WriteTask* request = batch->request.add_tasks();
    // Sent once: the writes move into the request (a call keeps only its names, for errors).
    for (Call& call : task->calls) *request->add_writes() = std::move(call.state_->write);
    batch->tasks.push_back(task);
  }
  if (batch->tasks.empty()) return;
  SdkCore& core = *root_->core_;
  batch->timeout = core.Timeout();
  batch->context.set_deadline(std::chrono::system_clock::now() + batch->timeout);
  core.transport.Authorize(&batch->context);
  g_call_count.fetch_add(1, std::memory_order_relaxed);
  batch->reader = core.user->PrepareAsyncWriteBatch(&batch->context, batch->request, queue_.get());
  batch->reader->StartCall();
  Batch* sent = batch.release();  // owned by the queue until its answer
  sent->reader->Finish(&sent->reply, &sent->status, sent);
}

void SdkPipeline::Step() {
  void* tag = nullptr;
  bool ok = false;
  if (!queue_->Next(&tag, &ok)) return;
  std::unique_ptr<Batch> batch(static_cast<Batch*>(tag));
  SdkCore& core = *root_->core_;
  for (std::size_t i = 0; i < batch->tasks.size(); ++i) {
    Task* task = batch->tasks[i];
    grpc::Status status = batch->status;
    std::size_t failed = 0;  // the call that ended the task
    if (status.ok()) {
      if (i >= static_cast<std::size_t>(batch->reply.results_size())) {
        status = grpc::Status(grpc::StatusCode::INTERNAL, "the server gave no result for a task");
      } else {
        const zelto::TaskResult& result = batch->reply.results(static_cast<int>(i));
        if (result.code() == 0 && result.done() >= task->calls.size()) {
          Finish(task, nullptr);
          continue;
        }
        failed = std::min<std::size_t>(result.done(), task->calls.size() - 1);
        status = result.code() == 0
                     ? grpc::Status(grpc::StatusCode::INTERNAL,
                                    "the server ended a task without saying why")
                     : grpc::Status(static_cast<grpc::StatusCode>(result.code()), result.message());
      }
    }
    const CallState& call = *task->calls[failed].state_;
    const SdkError error = ErrorFromStatus(status, call.source, call.op, core.sdk_address,
                                           batch->timeout, core.transport.credential_file);
    Finish(task, &error);
  }
}

void SdkPipeline::Finish(Task* task, const SdkError* error) {
  if (task->started) --in_flight_;
  auto it = keys_.find(task->key);
  std::vector<std::unique_ptr<Task>> tasks = std::move(it->second);
  keys_.erase(it);
  // The key's first task is this one; with an error the others end with it, unsent.
  std::size_t done = error ? tasks.size() : 1;
  for (std::size_t i = 0; i < done; ++i) {
    if (tasks[i]->finished) tasks[i]->finished(error);
  }
  if (done < tasks.size()) {
    tasks.erase(tasks.begin(), tasks.begin() + static_cast<std::ptrdiff_t>(done));
    Task* next = tasks.front().get();
    keys_[next->key] = std::move(tasks);
    ready_.push_back(next);
  }
}

}  // namespace norvane
