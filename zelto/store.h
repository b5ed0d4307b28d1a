// The organisation of the Zelto stand-in: departments, users and memberships in one SQLite
// database (WAL). Writes are committed by the store's own thread, and those that arrive
// together commit together (group commit): each runs in a savepoint of its own inside one
// transaction, so a refused write undoes only itself, and each caller is answered only once
// the transaction holding its write is committed and synced to disk. A killed server, or a
// machine that loses power, therefore keeps every write it acknowledged and none half-done.
// A batch whose writes change nothing commits nothing. Reads and batches are serialised by
// the store's lock.
//
// Every write takes an optional `done`. Without it the call returns once the write is
// committed, or throws its error. With it the call returns at once (a refusal found before
// anything is queued is still thrown) and `done` runs later on the store's thread with null
// or the write's error; the arguments must then stay alive until `done` runs.
#ifndef NORVANE_ZELTO_STORE_H_
#define NORVANE_ZELTO_STORE_H_

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zelto/proto/zelto.pb.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zelto {

enum class StoreCode { kInvalid, kNotFound, kExists, kPrecondition, kInternal };

// Every refused or failed call throws this; nothing was changed then.
class StoreError : public std::runtime_error {
 public:
  StoreError(StoreCode code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  StoreCode code() const { return code_; }

 private:
  StoreCode code_;
};

// Field limits in bytes of UTF-8.
inline constexpr std::size_t kMaxAccountBytes = 127;
inline constexpr std::size_t kMaxDeptNameBytes = 255;
inline constexpr std::size_t kMaxBasicTextBytes = 63;
inline constexpr std::size_t kMaxDetailTextBytes = 255;
inline constexpr std::size_t kMaxMemoBytes = 1023;
inline constexpr std::size_t kMaxPasswordBytes = 255;
inline constexpr int kMaxAuthType = 3;

enum class PasswordCheck { kMatch, kMismatch, kNoPassword, kNoAccount };

using WriteDone = std::function<void(std::exception_ptr error)>;
// How many of a task's writes succeeded, and the error of the one that ended it (null when
// all did).
using TaskDone = std::function<void(std::size_t done, std::exception_ptr error)>;

struct StoreOptions {
  // The most pages of the database file (0: no limit). A write that needs more fails as on a
  // full disk.
  std::int64_t max_pages = 0;
};

class Store {
 public:
  // Opens or creates the database. Throws StoreError when it cannot.
  explicit Store(const std::string& path, StoreOptions options = {});
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  void AddDepartment(const std::string& name, const std::string& parent_ref, WriteDone done = {});
  void RemoveDepartment(const std::string& ref, WriteDone done = {});
  void RenameDepartment(const std::string& ref, const std::string& new_name, WriteDone done = {});
  std::string ParentsOfDepartment(const std::string& ref);
  void MoveDepartment(const std::string& ref, const std::string& new_parent_ref,
                      WriteDone done = {});
  std::vector<std::string> ChildDepartments(const std::string& ref);
  std::vector<std::string> DepartmentUsers(const std::string& ref);
  void TakeUserOutOfDepartment(const std::string& account, const std::string& ref,
                               WriteDone done = {});
  void MoveUser(const std::string& account, const std::string& old_ref, const std::string& new_ref,
                WriteDone done = {});
  std::vector<std::string> DepartmentsOfUser(const std::string& account);
  bool DepartmentExists(const std::string& ref);

  void AddUser(const std::string& account, int auth_type, WriteDone done = {});
  void RemoveUser(const std::string& account, WriteDone done = {});
  void SetUserBasicInfo(const BasicInfo& info, WriteDone done = {});
  void SetUserDetails(const Details& details, WriteDone done = {});
  bool UserExists(const std::string& account);
  void SetUserAuthType(const std::string& account, int auth_type, WriteDone done = {});
  std::optional<int> AuthType(const std::string& account);  // nullopt: no such account

  // One account's writes, in order, in one queued write: each in a savepoint of its own, as
  // if written alone, and at the first refused one the rest are not run. `done` runs once,
  // on the store's thread after the commit (or at once when the first write is refused
  // before anything runs); `task` must stay alive until then.
  void RunTask(const WriteTask& task, TaskDone done);

  void SetPassword(const std::string& account, const std::string& password);
  PasswordCheck CheckPassword(const std::string& account, const std::string& password);

  DumpReply Dump();

 private:
  class Statement;
  using Step = std::function<void()>;
  struct PendingWrite {
    std::function<void()> body;
    WriteDone done;
    std::exception_ptr error;
  };

  // Runs `body` alone under the lock.
  template <typename Fn>
  auto Read(Fn&& body) {
    std::lock_guard<std::mutex> lock(mu_);
    return body();
  }
  // Queues `body` for the store's thread; see the top of this file for `done`.
  void Write(WriteDone done, std::function<void()> body);
  // The store's thread: commits what is queued, batch after batch, until the store closes.
  void CommitLoop();
  void CommitBatch(std::vector<PendingWrite>& batch);

  // A write's checks, then its body for the store's thread; the arguments must outlive it.
  Step AddUserStep(const std::string& account, int auth_type);
  Step MoveUserStep(const std::string& account, const std::string& old_ref,
                    const std::string& new_ref);
  Step TakeUserOutStep(const std::string& account, const std::string& ref);
  Step AuthTypeStep(const std::string& account, int auth_type);
  Step BasicInfoStep(const BasicInfo& info);
  Step DetailsStep(const Details& details);
  Step StepOf(const UserWrite& write);

  sqlite3_stmt* Prepare(const char* sql);
  void Exec(const char* sql);
  [[noreturn]] void Fail(const char* what);

  // Resolves a department reference; 0 is the top. Throws when unknown or ambiguous.
  std::int64_t ResolveRef(const std::string& ref, const char* role);
  std::int64_t ResolveDepartment(const std::string& ref, const char* role);  // not the top
  std::optional<std::int64_t> FindChild(std::int64_t parent, const std::string& name);
  std::vector<std::int64_t> FindByName(const std::string& name);
  std::string PathOf(std::int64_t id);
  std::optional<std::int64_t> UserId(const std::string& account);
  std::int64_t RequireUser(const std::string& account);
  void InsertDepartment(std::int64_t parent, const std::string& name);

  std::mutex mu_;
  sqlite3* db_ = nullptr;  // guarded by mu_, like every statement
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;

  std::mutex queue_mu_;
  std::condition_variable queued_;
  std::vector<PendingWrite> queue_;  // guarded by queue_mu_
  bool closing_ = false;             // guarded by queue_mu_
  std::thread committer_;
};

// The checks of a department name or account, shared with the service layer.
void CheckName(const std::string& name, const char* what, std::size_t max_bytes);

}  // namespace zelto

#endif  // NORVANE_ZELTO_STORE_H_
