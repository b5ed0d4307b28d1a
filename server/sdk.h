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
#include <exception>
#include <memory>
#include <string>

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
  // connection. An exception or any other value answers 1. `deadline` is the server's
  // wall-clock time after which it no longer waits for the answer (time_point::max() when
  // the server gave none); events are delivered one at a time, so one may arrive late.
  virtual int OnLoginVerify(const std::string& account, const std::string& password,
                            std::chrono::system_clock::time_point deadline) = 0;
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

  // The deadline of every call (default 10 s), for this root and its sub-objects.
  void SetCallTimeout(std::chrono::milliseconds timeout);
  std::string SdkAddress() const;

 private:
  SdkRoot();
  std::unique_ptr<SdkCore> core_;
  std::unique_ptr<SdkDeptManager> dept_;
  std::unique_ptr<SdkUserManager> user_;
  std::unique_ptr<SdkApplication> app_;
  SdkExtraObject extra1_, extra2_;
};

}  // namespace norvane

#endif  // NORVANE_SERVER_SDK_H_
