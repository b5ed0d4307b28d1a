// Active Directory change tracking: the records the change search yields, their
// classification, and the per-domain store of the last processed update sequence number.
#ifndef NORVANE_DIRECTORY_CHANGE_TRACKING_H_
#define NORVANE_DIRECTORY_CHANGE_TRACKING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Kinds of change.
inline constexpr std::int16_t kChangeCreated = 0;  // created since the last run
inline constexpr std::int16_t kChangeDeleted = 1;  // deleted, or a disabled user (UAC bit 0x2)
inline constexpr std::int16_t kChangeChanged = 2;  // existed before the last run, changed since

inline constexpr char kDeletedObjectsWkGuid[] = "18e2ea80684f11d2b9aa00c04f79f805";
inline constexpr char kShowDeletedControlOid[] = "1.2.840.113556.1.4.417";
inline constexpr int kChangePageSize = 100;
inline constexpr long kAccountDisabled = 0x2;  // userAccountControl: ACCOUNTDISABLE

// TrackChanges: the change pass ran to its end but the deleted-objects container could not
// be read (commonly: the bind account may not read it, which the directory answers with the
// container's bare name rather than an error). The deletions since the stored number are
// then unknown.
inline constexpr int kDeletedObjectsUnreadable = -1000;

struct RootDseInfo {
  std::string server_path;  // "LDAP://" + DNS host name + "/"
  std::string default_naming_context;
  std::string root_domain_naming_context;
  std::string dns_host_name;
  std::string highest_committed_usn;  // decimal text
  std::string invocation_id;          // 32 lower-case hex digits, bytes in stored order
};

struct ChangedUser {
  std::string dn;
  std::string account;  // sAMAccountName
  std::int16_t kind = kChangeCreated;
  std::int64_t usn = 0;  // uSNChanged
  // lastKnownParent: where a deleted user was (its dn is then the tombstone's); "" else.
  std::string last_known_parent;
};

struct ChangedDept {
  std::string parent_dn;
  std::string name;
  std::int16_t kind = kChangeCreated;
  std::string guid;  // objectGUID, 32 lower-case hex digits in stored byte order; "" when unread
};

// One object of a change search, as read from the directory. Absent attributes stay
// absent; texts are as the server sent them.
struct ChangeRow {
  std::optional<std::string> user_account_control;
  std::string distinguished_name;
  std::string last_known_parent;
  std::string account;
  std::optional<std::int64_t> usn_created;
  std::optional<std::int64_t> usn_changed;
  bool is_deleted = false;
  std::string guid;  // objectGUID as hex, "" when absent
};

// Classifies one row and merges it into the lists. A row with userAccountControl is a user:
// kind 1 when the value has the disabled bit 0x2 (514, 546, 66050 ...). In the change pass
// (`change_pass`), a row that is not kind 1 is kind 2 when uSNCreated is below `previous_high_usn`,
// else 0. isDeleted makes any row kind 1. Users without an account are dropped; in the change pass
// an account seen before keeps the row with the higher uSNChanged. Other rows are OUs: a deleted
// one is named from its tombstone DN and parented by lastKnownParent, a live one by its own DN. OUs
// without a name are dropped.
void MergeChangeRow(const ChangeRow& row, bool change_pass, std::int64_t previous_high_usn,
                    std::vector<ChangedUser>& users, std::vector<ChangedDept>& depts);

// The registry key of a domain: "Software\Microsoft\Windows LDAP-Synchro-USN\<dc>".
std::string UsnRegistryKey(std::string_view dc);

// The stored number for the "DC" text; 0 when missing or unreadable. 64-bit.
std::int64_t ReadPreviousHighUsn(std::string_view dc);
// Stores n as decimal text (atomic replace). False when the store cannot be written.
bool WritePreviousHighUsn(std::string_view dc, std::int64_t n);
// The controller invocation ID stored with the number ("" when none). A different ID on
// the next run means another controller (or a restored one) whose USNs do not continue
// the stored number.
std::string ReadPreviousInvocationId(std::string_view dc);
bool WritePreviousInvocationId(std::string_view dc, std::string_view invocation_id);

}  // namespace norvane

#endif  // NORVANE_DIRECTORY_CHANGE_TRACKING_H_
