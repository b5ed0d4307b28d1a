// The Zelto SDK component: the root, department manager, user manager and application
// objects of the Zelto server, reached over gRPC (see zelto/proto/zelto.proto).
//
// Every failing operation throws SdkError, never returns a silent success; every call has
// a deadline (10 s by default) and carries the server's credential when the root was given
// one. Texts are UTF-8. A department path is the names from the
// top, each followed by "\" ("" is the top); where an operation takes a department, a bare
// name (no "\") stands for the one department of that name.
//
// Objects are safe to use from several threads. The sub-objects belong to their root and
// must not be used after it is destroyed.
#ifndef NORVANE_SERVER_SDK_H_
#define NORVANE_SERVER_SDK_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zelto {
class UserWrite;
}  // namespace zelto

namespace grpc {
class CompletionQueue;
}

namespace norvane {

// The error an SDK call raises: a COM-style code, the interface that failed and the
// server's (or the transport's) description.
class SdkError : public std::exception {
 public:
  SdkError(long code, std::string source, std::string description)
      : code(code), source(std::move(source)), description(std::move(description)) {}
  const char* what() const noexcept override { return description.c_str(); }

  long code;
  std::string source;
  std::string description;
};

// Codes carried by SdkError.
inline constexpr long kSdkErrorFail = 0x80004005L;          // storage or unknown failure
inline constexpr long kSdkErrorInvalidArg = 0x80070057L;    // bad name, path, field, type
inline constexpr long kSdkErrorUnavailable = 0x800706BAL;   // server unreachable
inline constexpr long kSdkErrorTimeout = 0x800705B4L;       // no answer within the deadline
inline constexpr long kSdkErrorCancelled = 0x800704C7L;     // call cancelled
inline constexpr long kSdkErrorNotFound = 0x80040201L;      // unknown department or account
inline constexpr long kSdkErrorExists = 0x80040202L;        // duplicate account or sibling
inline constexpr long kSdkErrorPrecondition = 0x80040203L;  // ambiguous name, not registered
inline constexpr long kSdkErrorAccessDenied = 0x80070005L;  // credential refused; TLS needed

// "Code meaning" of an error code: the system text, "IDispatch error #n" for the
// interface-specific range, or "Unknown error 0x...".
std::string SdkErrorMeaning(long code);

// "发生错误!\nCode = %08lx\nCode meaning = %s\nSource = %s\nDescription = %s\n", with
// "null" for an absent source or description.
std::string ComposeSdkErrorText(const SdkError& error);

// Writes the composed text to the activity log.
void ReportSdkError(const SdkError& error);

// Number of remote SDK calls made by this process so far (address setters and the
// sub-object accessors are local and not counted).
std::uint64_t SdkCallCount();

// One write to the server's organisation, as the component made it (or, in a dry run,
// would have made it). Department paths are full paths ending in "\".
struct SdkWrite {
  enum class Kind {
    kAddDepartment,     // path
    kRemoveDepartment,  // path
    kRenameDepartment,  // path -> to
    kMoveDepartment,    // path -> to
    kAddUser,           // account, auth_type
    kRemoveUser,        // account
    kMoveUser,          // account, path (old, may be "") -> to (new, may be "")
    kTakeUserOut,       // account, path
    kSetAuthType,       // account, auth_type
    kBasicInfo,         // account
    kDetails,           // account
  };
  Kind kind;
  std::string account = {};
  std::string path = {};
  std::string to = {};
  int auth_type = -1;
};

// Told of every write the server accepted (in a dry run, of every write the component was
// asked for), on the thread that made the call (for the pipeline, the thread that calls
// Send or Wait).
class SdkWriteObserver {
 public:
  virtual ~SdkWriteObserver() = default;
  virtual void OnWrite(const SdkWrite& write) = 0;
};

class SdkRoot;
struct SdkCore;

class SdkDeptManager {
 public:
  void AddDepartment(const std::string& name, const std::string& parent_path);
  // flags 0: the department with its whole subtree; its users stay in the organisation.
  void RemoveDepartment(const std::string& path, int flags);
  void RenameDepartment(const std::string& path, const std::string& new_name);
  // The parent paths of every department of that name, each followed by ";"; the top is
  // the empty entry, so a top-level department answers ";".
  std::string ParentsOfDepartment(const std::string& name);
  void MoveDepartment(const std::string& path, const std::string& new_parent_path);
  // <Departments><Department Name="..."/>...</Departments>
  std::string ChildDepartments(const std::string& path);
  // <Users><User Name="account"/>...</Users>; "" lists the accounts in no department.
  std::string DepartmentUsers(const std::string& path);
  void TakeUserOutOfDepartment(const std::string& account, const std::string& path);
  // Drops the old membership when old_path is not empty, adds new_path when not empty.
  void MoveUser(const std::string& account, const std::string& old_path,
                const std::string& new_path, int flags);
  // <Departments> whose Department elements carry full paths in Name, in joining order.
  std::string DepartmentsOfUser(const std::string& account);
  void CreateDepartmentUnderParent(const std::string& parent_path, const std::string& name,
                                   int flags);
  // True for "" (the top). A malformed path answers false.
  bool DepartmentExists(const std::string& name_or_path);

 private:
  friend class SdkRoot;
  explicit SdkDeptManager(SdkCore* core) : core_(core) {}
  SdkCore* core_;
};

class SdkUserManager {
 public:
  void AddUser(const std::string& account, int auth_type);
  void RemoveUser(const std::string& account);
  // "ZELTO_NULL" and -1 leave a field unchanged.
  void SetUserBasicInfo(const std::string& account, const std::string& name, int gender,
                        const std::string& mobile, const std::string& email,
                        const std::string& phone, int auth_type);
  void SetUserDetails(const std::string& account, int age, int birthday, int bloodtype,
                      const std::string& fax, const std::string& homepage,
                      const std::string& address, const std::string& postcode,
                      const std::string& country, const std::string& province,
                      const std::string& city, const std::string& college, const std::string& memo,
                      const std::string& position, int type);
  bool UserExists(const std::string& account);

 private:
  friend class SdkRoot;
  explicit SdkUserManager(SdkCore* core) : core_(core) {}
  SdkCore* core_;
};

// Receives the application's events on a thread of the SDK component.
class SdkEventSink {
 public:
  virtual ~SdkEventSink() = default;
  // 0 accepted, 1 refused, 2 wrong password; sent back to the server on the same
  // connection. An exception or any other value answers 1. `deadline` is when the server
  // no longer waits for the answer, on this machine's monotonic clock (time_point::max()
  // when the server gave no limit); events are delivered one at a time, so one may arrive
  // late.
  virtual int OnLoginVerify(const std::string& account, const std::string& password,
                            std::chrono::steady_clock::time_point deadline) = 0;
  // The server stopped the application, or the event connection was lost. Called at most
  // once per Connect. The sink may destroy the root (and so this application object)
  // from here.
  virtual void OnAppStopped() = 0;
};

struct SdkEventLink;

class SdkApplication {
 public:
  ~SdkApplication();
  SdkApplication(const SdkApplication&) = delete;
  SdkApplication& operator=(const SdkApplication&) = delete;

  // Talks to the application server set on the root (SetServerAddress/SetServerPort).
  void SetIdentifier(const std::string& identifier);
  void SetName(const std::string& name);
  void Register();
  // Negative when the application cannot start (not registered, no event connection).
  int Start(const std::string& text, int mode);
  void Stop();
  void SetUserAuthType(const std::string& account, int auth_type);
  bool AccountUsesApplication(const std::string& account);

  // Opens the event connection and returns once the server has accepted it; events then
  // arrive on the component's own thread. A second Connect replaces the first.
  // REQUIRES: Register() succeeded; `sink` outlives the connection (a sink call in
  // progress at Disconnect may still be running, see there).
  void Connect(SdkEventSink* sink);
  // Closes the event connection; no event is delivered after it returns. A sink call in
  // progress (also one that called Disconnect) is not waited for: it finishes on its own,
  // and whatever it still touches after Disconnect returns must outlive it. Never throws.
  void Disconnect();
  bool Connected() const;

 private:
  friend class SdkRoot;
  explicit SdkApplication(SdkCore* core);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A sub-object of the root that Norvane only holds.
class SdkExtraObject {
 private:
  friend class SdkRoot;
  SdkExtraObject() = default;
};

// How the component speaks to the server's ports, for a root and its sub-objects.
struct SdkSecurity {
  // The server's credential file (zeltod --credential-file): its text goes with every call.
  // Empty: no credential is sent, and the server refuses every call.
  std::string credential_file = {};
  // PEM CA certificates the server's certificate is checked against: the SDK and the
  // application server are then reached over TLS. Empty: plain text, which is allowed to a
  // loopback address only (127.0.0.0/8, ::1, localhost); nothing else is ever called.
  std::string ca_file = {};
};

class SdkPipeline;

class SdkRoot {
 public:
  // The root object of the SDK server at host:port. Null when the address is unusable
  // (empty host, port outside 1..65535); null as well, with one activity-log line saying
  // why, when a file of `security` cannot be read or the address is not a loopback one and
  // no CA file is given. Creating it does not contact the server.
  static std::unique_ptr<SdkRoot> Create(const std::string& host, int port,
                                         const SdkSecurity& security = {});
  ~SdkRoot();
  SdkRoot(const SdkRoot&) = delete;
  SdkRoot& operator=(const SdkRoot&) = delete;

  // Where the application object finds the application server. An address that is not a
  // loopback one is refused at the application object's first call unless the root has a
  // CA file.
  void SetServerAddress(const std::string& host);
  void SetServerPort(int port);

  // The server's name and version; a liveness probe.
  std::string ServerText();

  // Non-owning; valid while the root lives.
  SdkApplication* Application();
  SdkUserManager* UserManager();
  SdkDeptManager* DeptManager();
  SdkExtraObject* FirstExtraObject();
  SdkExtraObject* SecondExtraObject();

  // Every accepted write is told to `observer` (null: none) until it is replaced. Not to be
  // changed while another thread writes through this root.
  void SetWriteObserver(SdkWriteObserver* observer);
  // While on, no write leaves this process: each is told to the observer and remembered,
  // and the reads of departments and accounts (DepartmentExists, ParentsOfDepartment,
  // DepartmentsOfUser, UserExists) answer as if it had been made, so that a run decides as
  // it would have. Turning it off forgets what was remembered.
  void SetDryRun(bool on);
  bool DryRun() const;

  // The deadline of every call (default 10 s), for this root and its sub-objects.
  void SetCallTimeout(std::chrono::milliseconds timeout);
  std::string SdkAddress() const;

 private:
  friend class SdkPipeline;
  SdkRoot();
  std::unique_ptr<SdkCore> core_;
  std::unique_ptr<SdkDeptManager> dept_;
  std::unique_ptr<SdkUserManager> user_;
  std::unique_ptr<SdkApplication> app_;
  SdkExtraObject extra1_, extra2_;
};

// The asynchronous path for long runs of writes: many accounts' writes travel together in
// one call to the SDK server, several such calls at once, each with the root's deadline.
//
// Calls are queued in tasks. A task is a list of calls under a key (an account, say): they
// run one after another, each once the one before it succeeded, and a task waits for the
// tasks queued before it under the same key. At the first failing call the task ends: its
// later calls are not run, and the tasks queued behind it under the same key end with the
// same error unsent. Tasks under different keys run side by side, up to `window` at once,
// sent in batches of a quarter of it; a batch not yet full goes out when Wait is called.
// Each task's `finished` runs exactly once, on the thread that calls Send or Wait, with
// null or the error that ended the task; it must not call Send or Wait itself.
//
// One pipeline is used from one thread. The root must outlive it.
class SdkPipeline {
 public:
  struct CallState;
  class Call {
   public:
    Call() = default;

   private:
    friend class SdkPipeline;
    explicit Call(std::shared_ptr<CallState> state) : state_(std::move(state)) {}
    std::shared_ptr<CallState> state_;
  };
  using Finished = std::function<void(const SdkError* error)>;

  explicit SdkPipeline(SdkRoot* root, std::size_t window = 256);
  ~SdkPipeline();  // waits for the calls sent; the tasks not yet sent end unsent
  SdkPipeline(const SdkPipeline&) = delete;
  SdkPipeline& operator=(const SdkPipeline&) = delete;

  // The calls, with the arguments of the synchronous ones; a text the wire cannot carry
  // throws SdkError here, before anything is queued. The authentication type goes to the
  // SDK server with the account's other writes, not to the application server.
  Call AddUser(const std::string& account, int auth_type);
  Call MoveUser(const std::string& account, const std::string& old_path,
                const std::string& new_path, int flags);
  Call TakeUserOutOfDepartment(const std::string& account, const std::string& path);
  Call SetUserAuthType(const std::string& account, int auth_type);
  Call SetUserBasicInfo(const std::string& account, const std::string& name, int gender,
                        const std::string& mobile, const std::string& email,
                        const std::string& phone, int auth_type);
  Call SetUserDetails(const std::string& account, int age, int birthday, int bloodtype,
                      const std::string& fax, const std::string& homepage,
                      const std::string& address, const std::string& postcode,
                      const std::string& country, const std::string& province,
                      const std::string& city, const std::string& college, const std::string& memo,
                      const std::string& position, int type);

  // Queues a task; returns once it is sent or queued, waiting for answers while `window`
  // tasks are in flight.
  void Send(const std::string& key, std::vector<Call> calls, Finished finished);
  // Sends what is queued and returns once every task has finished.
  void Wait();
  // True while a task under `key` is queued or in flight.
  bool Busy(const std::string& key) const;

 private:
  static Call NewCall(const char* source, const char* op, zelto::UserWrite&& write);
  struct Task;
  struct Batch;
  // Sends up to `count` ready tasks in one call.
  void StartBatch(std::size_t count);
  // Takes one answered batch off the queue and ends its tasks.
  void Step();
  void Finish(Task* task, const SdkError* error);

  SdkRoot* root_;
  std::size_t window_;
  std::size_t batch_size_;
  std::unique_ptr<grpc::CompletionQueue> queue_;
  std::size_t in_flight_ = 0;  // tasks sent and not yet answered
  // Per key, the tasks not yet finished, the first of them running.
  std::unordered_map<std::string, std::vector<std::unique_ptr<Task>>> keys_;
  std::deque<Task*> ready_;  // first tasks of their key, not yet sent
};

}  // namespace norvane

#endif  // NORVANE_SERVER_SDK_H_
