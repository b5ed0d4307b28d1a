// Helpers shared by the engine's source files; not part of the engine's interface.
#ifndef NORVANE_SYNC_ENGINE_INTERNAL_H_
#define NORVANE_SYNC_ENGINE_INTERNAL_H_

#include <algorithm>
#include <string>
#include <vector>

#include "directory/dn_text.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"

namespace norvane::engine_internal {

// A removal of this many accounts or fewer is never refused for its share: in a small
// organisation a few leavers are a large share, and the absolute threshold still holds.
inline constexpr std::size_t kShareFloor = 10;

inline std::string FirstValue(const std::string& joined) {
  return joined.substr(0, joined.find(';'));
}

inline const std::string* Find(const EntryAttributes& attributes, const std::string& name) {
  if (name.empty()) return nullptr;
  auto it = attributes.find(name);
  return it == attributes.end() ? nullptr : &it->second;
}

inline bool IsDnAttribute(const std::string& attribute) {
  return EqualsNoCase(attribute, "dn") || EqualsNoCase(attribute, "distinguishedName");
}

// Member DNs compared with backslashes and blanks dropped and case folded: member values
// arrive with backslashes removed on Active Directory, while entry DNs keep their escapes.
inline std::string MemberKey(std::string_view dn) { return DnKey(StripBackslashes(dn)); }

// The server itself failed (unreachable, no answer in time, storage): what follows would
// fail the same way. A refusal of one user's or entry's data is that one's alone.
inline bool IsServerFailure(const SdkError& e) {
  return e.code == kSdkErrorUnavailable || e.code == kSdkErrorTimeout ||
         e.code == kSdkErrorCancelled || e.code == kSdkErrorFail;
}

// True when the server holds `account` in the department `path`; for "" (a user directly
// under a base), when it holds it in no department.
inline bool HeldIn(SdkDeptManager* dept, const std::string& account, const std::string& path) {
  const std::vector<std::string> current =
      ParseNameList(dept->DepartmentsOfUser(account), "Departments", "Department");
  if (path.empty()) return current.empty();
  return std::any_of(current.begin(), current.end(),
                     [&](const std::string& d) { return EqualsNoCase(d, path); });
}

// In a catch (...) around a write for `account`: the SDK's own report when the failure was
// one of its errors, then the line that names the account.
inline void ReportWriteFailure(const std::string& account) {
  try {
    throw;
  } catch (const SdkError& e) {
    ReportSdkError(e);
  } catch (...) {
  }
  WriteLog(Format("UpdateUser2Zelto  Error Account=%s", account.c_str()));
}

// Takes the run lock for an operation that writes the server. False, with the reason in
// the log, when another run holds it or the lock file cannot be opened.
inline bool TakeRunLock(RunLock& lock) {
  if (lock.TryAcquire()) return true;
  if (lock.Busy()) {
    WriteLog(kAnotherSyncRunning);
  } else {
    WriteLog(Format("无法使用运行锁 %s (errno %ld%s%s): 未执行任何操作", lock.path().c_str(),
                    lock.LastError(), lock.UntrustedReason().empty() ? "" : ", ",
                    lock.UntrustedReason().c_str()));
  }
  return false;
}

}  // namespace norvane::engine_internal

#endif  // NORVANE_SYNC_ENGINE_INTERNAL_H_
