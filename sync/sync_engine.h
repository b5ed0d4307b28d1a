// SyncEngine: the full import of the directory's departments and users into the IM
// server's organisation.
//
// One run (SyncOneDC) reloads the configuration, connects to the directory, lists what the
// server holds, imports the departments (organisational units, or groups when DeptMode > 0)
// and then the users, and, unless SameCover keeps the server's own data, removes what the
// directory no longer holds. Every step writes an activity-log line.
//
// Safety of the removal step: a directory read that was cut short (page error, size limit,
// lost connection), could not be made at all, or found no user at all under a base makes
// the run fail before anything is removed, and so does an Active Directory run whose root
// entry cannot be read (a directory of another type). A removal larger than ManageSync's
// DeleteThreshold, or one of more than DeleteShare percent of the server's accounts, is
// refused; the incremental update's removals are held to the same guard, and it removes
// only what lies where the import would have placed it.
//
// A run in which some users could not be written ends with a line that counts them and
// fails; what the directory holds of the others is on the server.
//
// One run at a time: SyncOneDC, ImportNamedUsers, SetAuthType, SetAuthTypeForAccounts and
// RemoveExcludedUsers each take the run lock (platform/run_lock.h, a file lock in the base
// folder) for their whole length, without waiting. While another engine, in this process
// or another (norvanectl, the norvane program), holds it, they fail at once and log
// "另一个同步正在运行". The steps they are made of (ImportAll, ImportDepartments,
// UpdateFromDirectory, ...) take no lock of their own.
//
// The engine runs on the thread that calls it. The progress counters may be read from any
// thread.
#ifndef NORVANE_SYNC_SYNC_ENGINE_H_
#define NORVANE_SYNC_SYNC_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/records.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"
#include "platform/prompt.h"
#include "platform/xml.h"
#include "sync/change_set.h"
#include "sync/org_document.h"
#include "sync/ou_identities.h"
#include "sync/removal_list.h"

namespace norvane {

class SdkRoot;
class SdkPipeline;
struct LiveChange;
struct LiveRun;

// Department key -> parent key; the first parent recorded wins.
using DepartmentMap = std::map<std::string, std::string>;

// The directory connection SysConfig describes, each field cut to what the record holds.
LdapServerParams ServerParamsOf(const SysConfigInfo& sys);

// What a dry run's log lines begin with.
inline constexpr char kDryRunMark[] = "[预演] ";

class SyncEngine {
 public:
  // `prompt` receives the messages meant for the person at the controls; null logs them.
  // It must outlive the engine.
  explicit SyncEngine(Prompt* prompt = nullptr);
  ~SyncEngine();
  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // Obtains the IM server's SDK objects (SDKSVRIP/SDKSVRPort), writes both organisation
  // documents empty and loads the configuration. Nonzero on success; 0 when the SDK
  // objects cannot be made.
  int EngineInit();
  // Reloads every configuration section, makes a new directory client and connects it.
  // Nonzero when every section loaded.
  int ReloadConfig();
  // Connects unless a connection is open. Nonzero when a connection is open afterwards.
  int ConnectLdapsvr(const LdapServerParams& record);
  // mode 0: full import. mode 1: on Active Directory, the incremental update from the
  // stored update sequence number (a full import instead when the answering controller is
  // not the one the number came from, when departments come from groups, or when the
  // deleted-objects container cannot be read); elsewhere a full import. After a successful run on
  // Active Directory the controller's highest committed USN, read before the run, is stored with
  // the controller's invocation ID.
  int SyncOneDC(int mode);
  int ImportAll();

  // A dry run: the engine's runs read the directory and the server as they would, and write
  // nothing: not the server, the stored sequence numbers, the organisation documents, the run
  // reports nor the activity log's file (its lines reach the listener only, marked as a
  // dry run's). Changes() then holds what each run would change, removals included with the
  // deletion guard's verdict. Set before EngineInit; a dry run takes the run lock like a run.
  void SetDryRun(bool dry_run);
  bool IsDryRun() const { return dry_run_; }
  // Who starts this engine's runs, for their reports: "command" (the default), "window",
  // "schedule" or "live".
  void SetTrigger(std::string trigger) { trigger_ = std::move(trigger); }
  // Lets the removals of a run pass the deletion guard when they are at most `count`
  // (departments and accounts together); more, and the guard decides as always. -1: off.
  void AllowRemovals(long count) { allowed_removals_ = count; }
  // What the engine's last run changed on the server (a dry run: would change). Every run
  // that wrote the server also appends its report to logs/runs.jsonl (sync/run_report.h).
  const ChangeSet& Changes() const { return changes_; }

  // Incremental update (Active Directory, departments from OUs). UpdateFromDirectory
  // fetches the objects changed since the current high number and applies them: nonzero
  // on success. UpdateDept and UpdateFromLDAP apply the departments and users: 1 on
  // success, 0 after a server error (the rest of the list is not processed) or when the
  // deletion guard refused the removals. UpdateDept leaves OUs at or below an excluded
  // department alone whatever their kind, and applies created, moved and renamed OUs before
  // deleted ones. Removals come last, all of one update counted together by the guard, and
  // only of what the import would have placed: a department of an OU below a base and not
  // excluded; an account not excluded whose entry was (its last known place for a deleted
  // one) in a base or an OU the import imports, and, with SameCover=1, which the server
  // holds in that department (elsewhere it is the server's own).
  int UpdateFromDirectory();
  int UpdateDept(const std::vector<ChangedDept>& records);
  int UpdateFromLDAP(const std::vector<ChangedUser>& records);

  // Steps of ImportAll, public for the dialogs and tests. REQUIRES: connected.
  // ImportUsers places users in the departments that ImportDepartments recorded in this
  // engine's organisation document in memory (never re-read from the file), and fails
  // when a base has no element there. A user search that returns no entry at all, or whose
  // entries yield not one account (the attribute UserProperty maps to "uid" is on none of
  // them), is an incomplete read.
  int ImportDepartments();
  int ImportUsers();
  // Creates or moves `account` into the department `department` (a DN in OU mode, a group
  // key in group mode) and writes its basic information. 0 after a server error.
  int AddOrUpdateUser(XmlElement document, const std::string& department,
                      const std::string& account, const EntryAttributes& attributes);
  // Rewrites the basic information of one Active Directory user found by account under
  // `dn`. 0 when the user is not found or the server raised an error.
  int SetUserBasicInfo(const std::string& account, const std::string& dn);
  // Places the named Active Directory accounts. 0 when an account is unknown to the
  // directory (the rest are not processed; UnknownAccount() names it) or after an error;
  // `failed` lists the accounts under no configured domain controller.
  int ImportNamedUsers(const std::vector<std::string>& accounts, std::vector<std::string>& failed);
  // Fills the removal lists from the server's organisation: each account once, however
  // many departments hold it.
  void CollectServerOrganisation();
  // Deletes what is left on the removal lists, children before parents, then users.
  int DeleteNotLdapData();
  // The deletion guard: false, with the reason in the log, when removing `departments`
  // departments and `accounts` accounts, out of `server_accounts` on the server, is more
  // than DeleteThreshold or DeleteShare allows.
  bool RemovalAllowed(std::size_t departments, std::size_t accounts,
                      std::size_t server_accounts) const;
  // Removes the listed accounts that exist on the server (the excluded-users dialog's
  // removal), under the run lock. 1 on success; 0 when another run holds the lock, without
  // SDK objects (EngineInit) or after a server error (the accounts before it stay removed).
  int RemoveExcludedUsers(const std::vector<std::string>& accounts);

  // Organisation document.
  int ResetOrgDocument();
  XmlElement OpenBaseElement(const std::string& base, const std::string& path);
  int AddDeptElement(XmlElement start, const std::string& parent_key, const std::string& key);
  XmlElement FindDeptElement(XmlElement start, const std::string& key) const;
  // Builds the department tree of one domain controller's base for the department dialog
  // and writes it to "test.xml": its organisational units, or its groups nested by
  // membership when the record's dept_mode is above 0. 1 when built.
  int PreviewData(const LdapServerParams& record);

  // Department rules with the engine's configuration.
  std::string DnToDeptPath(const std::string& dn) const;
  static std::string DnToDeptName(const std::string& dn);
  static int DnDepth(const std::string& text);
  bool IsExcludedDept(const std::string& key) const;
  bool IsExcludedUser(const std::string& account) const;
  bool DeptExistsUnder(const std::string& name, const std::string& parent_path);

  // Authentication type of many accounts at once: 3 checks logins at the directory, 0 with
  // the account's own Zelto password. Scope 0 is every account of the organisation, scope 1
  // the accounts the last user import placed; any other scope fails. The first failing
  // account ends the switch (those before it stay switched). Without an SDK connection
  // nothing is changed and the result is 1.
  int SetAuthType(int scope, int type);
  int SetAuthTypeForAccounts(const std::vector<std::string>& accounts, int type);

  // Live sync (types 1 and 2, departments from OUs): applies the changes a notification
  // search pushed, each with the full import's rules (exclusions, bases, SameCover, the
  // deletion guard over the removals of this call), under the run lock and with the
  // configuration the last SyncOneDC loaded. kLiveApplied; kLiveRetry when the run lock is
  // held elsewhere or the IM server did not answer (the changes from run->done on were not
  // applied: call again with them); kLiveFailed (logged) when the guard refused the removals.
  // Defined in live_apply.cc.
  int ApplyLiveChanges(const std::vector<LiveChange>& changes, LiveRun* run);

  // Progress of the current run: departments written and user entries processed.
  long DepartmentsDone() const { return departments_done_.load(); }
  long UsersDone() const { return users_done_.load(); }

  // Accounts the last user import placed on the server.
  const std::vector<std::string>& SpecifiedAccounts() const { return specified_accounts_; }
  const std::string& UnknownAccount() const { return unknown_account_; }
  // False when a read of the last run was cut short.
  bool LastReadComplete() const { return read_complete_; }
  OrgDocument& Document() { return org_; }
  std::string CurrentDocumentPath() const;
  std::string PreviewDocumentPath() const;
  const SysConfigInfo& SysConfig() const { return sys_config_; }
  const ManageSyncInfo& ManageSync() const { return manage_sync_; }
  RemovalList& DeptsToRemove() { return depts_to_remove_; }
  RemovalList& UsersToRemove() { return users_to_remove_; }

 private:
  // Why a run whose directory connection worked failed, in a few words for its closing
  // line; empty when the directory's settings (base, filter) are the likely cause.
  std::string FailureCause();
  // The settings an SdkRoot is made from, as one comparable text.
  static std::string SdkSettingsOf(const SysConfigInfo& sys);
  enum class ReadStatus { kNotStarted, kComplete, kIncomplete, kEntryLost };
  using EntryVisitor = std::function<void(const EntryAttributes&, const std::string& dn)>;

  LdapServerParams BuildRecord() const;
  std::string DeptAttribute(const char* key) const;
  std::string UserAttribute(const char* key) const;
  // Walks every entry under `base` matching `filter`: paged on Active Directory, a plain
  // search elsewhere.
  ReadStatus ForEachEntry(const std::string& base, const std::string& filter,
                          const EntryVisitor& visit);
  void NoteIncompleteRead(const char* what, const std::string& base);

  // Department import.
  bool SearchDepartments(const std::string& base, const std::string& filter, DepartmentMap& map,
                         ReadStatus* status);
  std::vector<std::pair<std::string, std::string>> OrderDepartments(const DepartmentMap& map) const;
  void RecordDepartments(XmlElement base_element,
                         const std::vector<std::pair<std::string, std::string>>& ordered,
                         bool use_exclusions);
  bool WriteDepartments(const std::vector<std::pair<std::string, std::string>>& ordered);
  // Active Directory: records the objectGUID of every OU below `base` in ou_ids_; false
  // when the read was not complete (the record is then left as it was).
  bool ReadOuIdentities(const std::string& base);
  // Active Directory: visits each OU entry at `scope` below `base`, paged; true when the
  // read reached its end.
  bool WalkDepartmentEntries(const std::string& base, int scope,
                             const std::function<void(LdapEntry*)>& visit);
  std::string OuIdentitiesPath() const;
  // Group mode.
  void ClearGroups();
  void BuildGroupTree(const std::string& base);
  std::vector<std::size_t> GroupsParentsFirst() const;
  // Records every group below `base_element` (the preview: exclusions are the dialog's).
  void RecordGroups(XmlElement base_element, const std::string& base);
  bool RecordAndWriteGroups(XmlElement base_element, const std::string& base);
  std::vector<std::string> GroupsOfUser(const EntryAttributes& attributes, const std::string& dn);
  std::vector<std::string> GroupsWithMember(const std::string& member_dn, bool* ok);
  std::string GroupPath(const std::string& key) const;
  // Gives each group its department name: its CN, numbered when siblings share it.
  void NameGroupDepartments();
  // True for the path of a department of a group found by this run.
  bool IsGroupPath(const std::string& path) const;

  // User import.
  enum class UserOutcome { kNotAPerson, kNoAccount, kAccount };
  UserOutcome UserEntry(XmlElement document, const EntryAttributes& attributes,
                        const std::string& dn);
  // Queues the user's writes on pipeline_, or on a pipeline of its own that it waits for
  // when no import runs. 0 when a write was refused before it could be sent, or, on its
  // own pipeline, by the server.
  int PlaceUser(XmlElement document, const std::string& department, const std::string& account,
                const EntryAttributes& attributes, bool first_of_user,
                const std::vector<std::string>& all_paths);
  struct BasicFields {
    std::string name, mobile, email, phone, position;
    int gender = -1;
  };
  // The mapped fields, cut to the server's limits (each cut logged).
  BasicFields ReadBasicInfo(const EntryAttributes& attributes);
  void WriteBasicInfo(const std::string& account, const EntryAttributes& attributes);
  // The account as the server holds it: null when it has no such account. Known from the
  // walk of the server at the start of the run and the run's own writes; asked of the
  // server (once what is in flight for it has been answered) when the walk could not tell.
  struct KnownUser {
    std::vector<std::string> departments;  // the paths, in the order joined
  };
  KnownUser* ServerUser(const std::string& account, SdkPipeline& pipeline);
  std::vector<std::string> DepartmentsOfUser(const std::string& account);
  void UpdateUser2Zelto();

  // Incremental update.
  // What an update would remove, held back until the guard has seen all of it.
  struct UpdateRemovals {
    std::vector<std::string> departments;  // paths, children before parents
    std::vector<std::string> accounts;
  };
  int ApplyUpdateRemovals(const UpdateRemovals& removals);
  int UpdateDept(const std::vector<ChangedDept>& records, UpdateRemovals* removals);
  int UpdateFromLDAP(const std::vector<ChangedUser>& records, UpdateRemovals* removals);
  // Renames or moves the department of the OU that was at `old_dn` (recorded by its
  // identity) to `name` below `parent_path`; false, touching nothing, unless that
  // department is surely the OU's.
  bool FollowOu(const std::string& old_dn, const std::string& name, const std::string& parent_path);
  // True when the import places users of the container `parent_dn`: a base itself, or an
  // OU below one that is not excluded (itself or above).
  bool ImportPlacesUsersOf(const std::string& parent_dn) const;
  // The accounts on the server, each once; false when the walk failed.
  bool CountServerAccounts(std::size_t* count);
  struct ChangeMark {
    std::int64_t usn = 0;
    std::string invocation_id;
  };
  // The controller's highest committed USN and invocation ID; false when unreadable.
  bool ReadChangeMark(ChangeMark& mark);
  void StoreChangeMark(const ChangeMark& mark);
  // Mode 1 on Active Directory: the update's result, or -1 when a full import must run.
  int RunUpdate();
  bool ExcludedWithAncestors(const std::string& dn) const;
  // True when the directory holds an OU at the place of the department `path` below a
  // search base; *known false when a search failed and the answer is not known.
  bool DirectoryHoldsDepartment(const std::string& path, bool* known);
  // Names of the OUs one level below `parent_dn`; *ok false when the read failed.
  std::vector<std::string> ChildDeptNamesInDirectory(const std::string& parent_dn, bool* ok);

  enum class RunKind { kNone, kSync, kUpdate, kImportUsers, kAuth, kRemoveUsers };
  // Records one run: from here the server's writes are collected, and when it goes the
  // run's report is appended (never for a dry run). Finish gives the run's result.
  class RunRecord {
   public:
    RunRecord(SyncEngine* engine, RunKind kind);
    ~RunRecord();
    int Finish(int result) {
      result_ = result;
      return result;
    }

   private:
    SyncEngine* engine_;
    ScopedLogTap tap_;
    std::time_t started_;
    int result_ = 0;
  };
  int RunOneDC(int mode);  // SyncOneDC under the run lock
  int PlaceNamedUsers(const std::vector<std::string>& accounts, std::vector<std::string>& failed);
  // Gives a new SDK root the engine's observer and dry-run mode.
  void AdoptSdk(std::unique_ptr<SdkRoot> root);

  Prompt* prompt_;
  LogPrompt log_prompt_;
  bool dry_run_ = false;
  std::string trigger_ = "command";
  long allowed_removals_ = -1;
  RunKind run_kind_ = RunKind::kNone;
  mutable ChangeSet changes_;  // the guard's verdict is recorded by RemovalAllowed
  std::mutex lock_;            // the engine lock: SDK writes and the removal lists

  // Configuration, reloaded by ReloadConfig.
  SysConfigInfo sys_config_;
  std::vector<std::string> user_attribute_names_;
  AttributeMap user_property_;
  AttributeMap dept_property_;
  SyncScopeInfo sync_scope_;
  ManageSyncInfo manage_sync_;
  std::unordered_set<std::string> limit_dc_;    // DnKey of excluded departments
  std::unordered_set<std::string> limit_user_;  // lower-case excluded accounts
  std::vector<DcEntry> dc_list_;
  std::vector<std::string> search_bases_;
  std::string current_domain_;

  std::unique_ptr<SdkRoot> sdk_;
  std::string sdk_settings_;  // what sdk_ was made from (SdkSettingsOf)
  std::unique_ptr<CLdapClient> client_;
  LdapConnection* connection_ = nullptr;
  OrgDocument org_;
  OuIdentities ou_ids_;  // Active Directory, OU mode: saved with the stored change mark

  RemovalList depts_to_remove_;
  RemovalList users_to_remove_;

  // Group mode: the groups found, by MemberKey(group key); paths by key.
  struct Group {
    std::string key;
    std::string cn;      // the group's own name
    std::string name;    // its department's name: cn, or cn numbered when siblings share it
    std::string parent;  // "" for a group that is a member of no imported group
  };
  std::vector<Group> groups_;  // in search order
  std::unordered_map<std::string, std::size_t> group_index_;
  std::unordered_map<std::string, std::string> group_paths_;
  std::unordered_set<std::string> group_path_set_;  // lower-case paths of group_paths_
  std::unordered_set<std::string> written_paths_;   // lower-case paths this run wrote

  // The server's accounts (by lower-case name) as the walk found them and this run's
  // writes changed them, while org_known_. An account whose departments the walk cannot
  // order, or whose write failed, is asked of the server instead (unsure_).
  std::unordered_map<std::string, KnownUser> known_users_;
  std::unordered_set<std::string> unsure_;
  bool org_known_ = false;
  SdkPipeline* pipeline_ = nullptr;  // the user import's, while it runs
  bool server_failed_ = false;       // a write of the import failed at the server itself
  std::unordered_set<std::string> failed_users_;  // lower-case accounts whose writes failed
  std::size_t server_accounts_ = 0;               // accounts CollectServerOrganisation listed
  std::unordered_set<std::string> placed_keys_;   // lower-case specified_accounts_

  std::vector<std::string> specified_accounts_;
  std::string unknown_account_;
  bool read_complete_ = true;
  mutable bool guard_stopped_ = false;  // RemovalAllowed refused this run's removals
  std::atomic<long> departments_done_{0};
  std::atomic<long> users_done_{0};
  std::int64_t current_high_usn_ = 0;    // the changes at or above it are fetched
  bool deleted_objects_unread_ = false;  // the last UpdateFromDirectory could not see deletions
};

}  // namespace norvane

#endif  // NORVANE_SYNC_SYNC_ENGINE_H_
