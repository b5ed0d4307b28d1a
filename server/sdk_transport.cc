// The transport of the SDK component (channels, TLS and the server's credential) and the
// root object that holds it.
#include <absl/synchronization/mutex.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "config/credential.h"
#include "platform/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "server/sdk_internal.h"
#include "zelto/credential.h"

namespace norvane {
namespace {

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

// True when the file is there but this process may not read it.
bool Unreadable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return false;
  }
  return errno == EACCES || errno == EPERM;
}

// zeltod keeps its credential to its own user unless it is told to share it with a group.
std::string CredentialAccessHint(const std::string& path) {
  return "本程序的用户无权读取凭据文件 " + path +
         ": 请以 zeltod --credential-group zelto 启动 zeltod (凭据文件随之为 0640 并属组 "
         "zelto, 已有的文件可 chmod 640 并 chgrp zelto), 然后重新执行 norvane -install, "
         "服务随之加入该文件的属组";
}

}  // namespace

std::string FormatAddress(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ValidPort(int port) { return port > 0 && port <= 65535; }

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

std::string PlainTextRefusal(const std::string& what, const std::string& address) {
  return what + " " + address + " 不在本机, 而 SDKCAFile 没有指定 CA: 不以明文调用";
}

SdkTransport::~SdkTransport() { WipePassword(credential); }

std::shared_ptr<grpc::Channel> SdkTransport::MakeChannel(const std::string& host,
                                                         const std::string& address,
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

void SdkTransport::Authorize(grpc::ClientContext* context) const {
  if (!credential.empty()) context->AddMetadata(zelto::kCredentialHeader, credential);
}

bool SdkTransport::Load(const SdkSecurity& security, std::string* error) {
  credential_file = security.credential_file;
  if (!security.credential_file.empty() &&
      !zelto::ReadCredential(security.credential_file, &credential, error)) {
    *error = "Zelto " + *error + "; " +
             (Unreadable(security.credential_file) ? CredentialAccessHint(security.credential_file)
                                                   : kSetCredentialHint);
    return false;
  }
  if (!security.ca_file.empty() && (!ReadFile(security.ca_file, &ca_pem) || ca_pem.empty())) {
    *error = "无法读取Zelto服务器的CA文件 " + security.ca_file;
    return false;
  }
  return true;
}

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
      WriteLog(PlainTextRefusal("Zelto SDK服务器", core.sdk_address));
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
                   "SetServerAddress: \"" + host + "\" 不是可用的服务器地址");
  }
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->app_host = host;
}

void SdkRoot::SetServerPort(int port) {
  if (!ValidPort(port)) {
    throw SdkError(kSdkErrorInvalidArg, kRootSource,
                   "SetServerPort: " + std::to_string(port) + " 不是端口号 (1..65535)");
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

}  // namespace norvane
