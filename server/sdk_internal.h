// What the SDK component's files share: the state of a root and its sub-objects, the
// transport every call goes through, and the mapping of a failed call to SdkError.
#ifndef NORVANE_SERVER_SDK_INTERNAL_H_
#define NORVANE_SERVER_SDK_INTERNAL_H_

#include <grpcpp/grpcpp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/sdk.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace norvane {

inline constexpr const char* kRootSource = "Zelto.Root";
inline constexpr const char* kDeptSource = "Zelto.DeptManager";
inline constexpr const char* kUserSource = "Zelto.UserManager";
inline constexpr const char* kAppSource = "Zelto.Application";
inline constexpr long kDefaultTimeoutMs = 10000;
inline constexpr const char* kSetCredentialHint =
    "请把 SDKCredentialFile 设为服务器的凭据文件 (zeltod --credential-file): "
    "norvanectl config set SDKCredentialFile FILE, 或在配置向导的Zelto服务器页中设置";

extern std::atomic<std::uint64_t> g_call_count;
// Set once a refused credential has been logged; cleared by the next call that gets through,
// so a server that keeps refusing is said once, not at every watchdog probe.
extern std::atomic<bool> g_refusal_logged;

std::string FormatAddress(const std::string& host, int port);
bool ValidPort(int port);
// Plain text is allowed to this machine only: a literal loopback address or "localhost".
bool IsLoopbackHost(std::string host);
std::string PlainTextRefusal(const std::string& what, const std::string& address);

// Refuses, before any traffic, a text the wire cannot carry.
void CheckTexts(const char* source, const char* op,
                std::initializer_list<const std::string*> texts);

// `credential_file`: the file the refused credential was read from ("" when none is set).
SdkError ErrorFromStatus(const grpc::Status& status, const char* source, const char* op,
                         const std::string& address, std::chrono::milliseconds timeout,
                         const std::string& credential_file);

// Watches `channel` through one connection attempt before a call; see sdk_transport.cc.
void AwaitConnectionAttempt(grpc::Channel* channel, std::chrono::system_clock::time_point deadline);

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
  ~SdkTransport();

  // Null when plain text would leave this machine (`host` not a loopback address, no CA).
  std::shared_ptr<grpc::Channel> MakeChannel(const std::string& host, const std::string& address,
                                             bool keepalive) const;
  // REQUIRES: called before the call starts.
  void Authorize(grpc::ClientContext* context) const;
  // Reads the files of `security`; false with the reason when one cannot be used.
  bool Load(const SdkSecurity& security, std::string* error);
};

// What a dry run has written so far, for the reads that follow it (sdk_dry_run.cc).
struct SdkDryRun;

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

  // The observer and the dry run (SdkRoot::SetWriteObserver, SetDryRun).
  std::atomic<SdkWriteObserver*> observer{nullptr};
  std::atomic<SdkDryRun*> dry{nullptr};
  std::unique_ptr<SdkDryRun> dry_owner;
  SdkCore();
  ~SdkCore();

  // Before a write: true when it is not to be sent (a dry run), once it has been remembered
  // and told to the observer.
  bool Intercept(const SdkWrite& write);
  // After a write the server accepted.
  void Wrote(const SdkWrite& write) {
    if (SdkWriteObserver* o = observer.load()) o->OnWrite(write);
  }

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

// The requests that the one-at-a-time calls and the pipeline send alike, texts checked first.
// The reads of a dry run (sdk_dry_run.cc): the server's answer, corrected by what the run
// has written. Without a dry run each returns the server's answer (-1 / null: it stands).
bool DryDepartmentExists(SdkCore& core, const std::string& ref, bool on_server);
std::string DryParentsOfDepartment(SdkCore& core, const std::string& name,
                                   const std::string& on_server);
const std::vector<std::string>* DryDepartmentsOfUser(SdkCore& core, const std::string& account,
                                                     std::vector<std::string>* out);
int DryUserExists(SdkCore& core, const std::string& account);

// The write a pipeline call makes, for the observer.
SdkWrite DescribeWrite(const zelto::UserWrite& write);

// "A\B\" -> "B" and "A\"; a bare name is its own name under the top.
std::string LastDeptName(const std::string& path);
std::string ParentDeptPath(const std::string& path);

zelto::MoveUserRequest MoveUserRequest(const std::string& account, const std::string& old_path,
                                       const std::string& new_path, int flags);
zelto::AddUserRequest AddUserRequest(const std::string& account, int auth_type);
zelto::BasicInfo BasicInfoRequest(const std::string& account, const std::string& name, int gender,
                                  const std::string& mobile, const std::string& email,
                                  const std::string& phone, int auth_type);
zelto::Details DetailsRequest(const std::string& account, int age, int birthday, int bloodtype,
                              const std::string& fax, const std::string& homepage,
                              const std::string& address, const std::string& postcode,
                              const std::string& country, const std::string& province,
                              const std::string& city, const std::string& college,
                              const std::string& memo, const std::string& position, int type);

}  // namespace norvane

#endif  // NORVANE_SERVER_SDK_INTERNAL_H_
