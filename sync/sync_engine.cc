// The sync driver: configuration, connection, one run of a full import, the directory
// walk the import steps share, and the engine's department rules.
#include "sync/sync_engine.h"

#include <cstdarg>
#include <cstdio>
#include <optional>

#include "config/ldap_config.h"
#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"
#include "sync/run_report.h"

namespace norvane {
using engine_internal::TakeRunLock;

SyncEngine::SyncEngine(Prompt* prompt) : prompt_(prompt ? prompt : &log_prompt_) {}

SyncEngine::~SyncEngine() {
  if (client_ && connection_) client_->Disconnect(connection_);
  connection_ = nullptr;
}

std::string SyncEngine::SdkSettingsOf(const SysConfigInfo& sys) {
  return sys.sdk_server_ip + "\n" + std::to_string(sys.sdk_server_port) + "\n" + sys.app_server_ip +
         "\n" + std::to_string(sys.app_server_port) + "\n" + sys.sdk_credential_file + "\n" +
         sys.sdk_ca_file;
}

std::string SyncEngine::CurrentDocumentPath() const { return BaseFolder() + "test.xml"; }
std::string SyncEngine::PreviewDocumentPath() const { return BaseFolder() + "testTmp.xml"; }

void SyncEngine::SetDryRun(bool dry_run) {
  dry_run_ = dry_run;
  org_.SetReadOnly(dry_run);
  if (sdk_) sdk_->SetDryRun(dry_run);
}

void SyncEngine::AdoptSdk(std::unique_ptr<SdkRoot> root) {
  sdk_ = std::move(root);
  if (!sdk_) return;
  sdk_->SetWriteObserver(&changes_);
  sdk_->SetDryRun(dry_run_);
}

namespace {

const char* RunKindName(int kind) {
  static const char* const kNames[] = {"",     "sync",        "update", "import-users",
                                       "auth", "remove-users"};
  return kind >= 0 && kind < 6 ? kNames[kind] : "";
}

}  // namespace

SyncEngine::RunRecord::RunRecord(SyncEngine* engine, RunKind kind)
    : engine_(engine), tap_(engine->dry_run_, kDryRunMark), started_(std::time(nullptr)) {
  engine->run_kind_ = kind;
  engine->changes_.Reset(kind == RunKind::kAuth);
  // A new plan starts from the server as it is, not from the last plan's writes.
  if (engine->dry_run_ && engine->sdk_) engine->sdk_->SetDryRun(true);
}

SyncEngine::RunRecord::~RunRecord() {
  const RunKind kind = engine_->run_kind_;
  engine_->run_kind_ = RunKind::kNone;
  if (engine_->dry_run_) return;
  nlohmann::json report = {{"kind", RunKindName(static_cast<int>(kind))},
                           {"trigger", engine_->trigger_},
                           {"started", Rfc3339(started_)},
                           {"ended", Rfc3339(std::time(nullptr))},
                           {"result", result_ ? "success" : "failure"},
                           {"error", nullptr}};
  if (!result_) {
    report["error"] = tap_.LastLine().empty() ? "见系统日志" : tap_.LastLine();
  }
  report.update(engine_->changes_.ToJson(kRunReportListCap));
  AppendRunReport(report);
}

int SyncEngine::EngineInit() {
  // A dry run's connection lines stay out of the log file like the rest of it.
  std::optional<ScopedLogTap> tap;
  if (dry_run_) tap.emplace(true, kDryRunMark);
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  config.LoadSysConfig(sys);
  AdoptSdk(CreateSdkRoot(sys));
  if (!sdk_) return 0;
  sdk_settings_ = SdkSettingsOf(sys);
  if (!dry_run_) {
    WriteEmptyOrgDocument(CurrentDocumentPath());
    WriteEmptyOrgDocument(PreviewDocumentPath());
  }
  return ReloadConfig();
}

int SyncEngine::ReloadConfig() {
  CLdapConfig config;
  config.Init();
  std::vector<std::string> limit_dc, limit_user;
  bool ok = config.LoadSysConfig(sys_config_);
  ok = ok && config.LoadUserAttributeNames(user_attribute_names_);
  ok = ok && config.LoadUserProperty(user_property_);
  ok = ok && config.LoadDeptProperty(dept_property_);
  ok = ok && config.LoadSyncScope(sync_scope_);
  ok = ok && config.LoadManageSync(manage_sync_);
  ok = ok && config.LoadLimitDC(limit_dc);
  ok = ok && config.LoadLimitUser(limit_user);
  config.LoadDcList(dc_list_);
  // The Zelto server's address and trust settings (config set, the wizard) reach the next
  // run without a restart: a root made under other settings is replaced.
  if (sdk_ && ok && SdkSettingsOf(sys_config_) != sdk_settings_) {
    if (std::unique_ptr<SdkRoot> root = CreateSdkRoot(sys_config_)) {
      AdoptSdk(std::move(root));
      sdk_settings_ = SdkSettingsOf(sys_config_);
    } else {
      WriteLog(
          "Zelto服务器的新设置不可用 (SDKSVRIP/SDKSVRPort/SDKCredentialFile/SDKCAFile), "
          "仍使用原来的设置");
    }
  }
  limit_dc_.clear();
  for (const std::string& key : limit_dc) limit_dc_.insert(DnKey(key));
  limit_user_.clear();
  for (const std::string& account : limit_user) limit_user_.insert(ToLowerAscii(account));

  if (client_ && connection_) client_->Disconnect(connection_);
  connection_ = nullptr;
  client_ = std::make_unique<CLdapClient>();
  SelectLibrary(sys_config_.directory_type);
  ConnectLdapsvr(BuildRecord());
  return ok && client_ ? 1 : 0;
}

LdapServerParams ServerParamsOf(const SysConfigInfo& sys) {
  LdapServerParams record;
  record.server_ip = CutToBytes(sys.ldap_server_ip, kAddressBytes);
  record.server_port = sys.ldap_server_port;
  record.dept_mode = sys.dept_mode;
  record.directory_type = sys.directory_type;
  record.domain_name = CutToBytes(sys.domain, kDomainBytes);
  record.admin_account = CutToBytes(sys.admin_account, kAccountBytes);
  record.admin_password = CutToBytes(sys.admin_password, kPasswordBytes);
  return record;
}

LdapServerParams SyncEngine::BuildRecord() const { return ServerParamsOf(sys_config_); }

int SyncEngine::ConnectLdapsvr(const LdapServerParams& record) {
  if (!client_) return 0;
  if (connection_) return 1;
  connection_ = client_->Connect(record);
  return connection_ ? 1 : 0;
}

int SyncEngine::SyncOneDC(int mode) {
  RunLock run_lock;
  if (!TakeRunLock(run_lock)) return 0;
  RunRecord record(this, mode == 1 ? RunKind::kUpdate : RunKind::kSync);
  return record.Finish(RunOneDC(mode));
}

int SyncEngine::RunOneDC(int mode) {
  if (!ReloadConfig()) prompt_->Show("重载配置文件失败!");
  departments_done_ = 0;
  users_done_ = 0;
  read_complete_ = true;
  guard_stopped_ = false;
  const bool active_directory = sys_config_.directory_type == kActiveDirectory;
  if (active_directory && mode == 1) {
    const int update = RunUpdate();
    if (update >= 0) return update;
  }

  LdapServerParams record = BuildRecord();
  current_domain_ = sys_config_.domain;
  ResetOrgDocument();
  sync_scope_.pdept_type = sys_config_.dept_mode;
  sync_scope_.user_dept_type = sys_config_.dept_mode;
  search_bases_ = SplitList(sys_config_.domain);

  int result = 0;
  if (!ConnectLdapsvr(record)) {
    WriteLog(Format("ConnectLdapsvr失败 ip=%s,port=%d,dn=%s", record.server_ip.c_str(),
                    record.server_port, sys_config_.domain.c_str()));
  } else {
    // Read before the import, so that what changes while it runs is left to the next update.
    ChangeMark mark;
    const bool marked = active_directory && ReadChangeMark(mark);
    if (active_directory && !marked) {
      // Every Active Directory controller answers these; a directory that does not is of
      // another type, whose users the Active Directory filters do not find.
      WriteLog(
          Format("读不到Active Directory的根条目(RootDSE)信息 ip=%s,port=%d: "
                 "目录类型(LDAPSVRType=0)可能设置错误；本次同步未导入和删除任何数据，同步失败",
                 record.server_ip.c_str(), record.server_port));
      result = 0;
    } else {
      result = ImportAll();
    }
    if (!result) {
      // The bind worked: blame the account only where the directory's settings may be wrong.
      const std::string cause = FailureCause();
      if (cause.empty()) {
        WriteLog(Format("SyncOneDC=%s:失败，请检查此dc的DC、USER、PWD是否配置正确",
                        sys_config_.domain.c_str()));
      } else {
        WriteLog(Format("SyncOneDC=%s:失败，原因: %s", sys_config_.domain.c_str(), cause.c_str()));
      }
    }
    if (result && marked && !dry_run_) StoreChangeMark(mark);
    client_->Disconnect(connection_);
    connection_ = nullptr;
  }
  return result;
}

std::string SyncEngine::FailureCause() {
  if (guard_stopped_) return "删除保护阻止了本次删除 (见上面的\"删除保护\"一行)";
  if (!failed_users_.empty()) {
    return Format("%zu个用户未能写入Zelto服务器", failed_users_.size());
  }
  // A server that refuses or does not answer fails every step: ask it once more.
  try {
    if (sdk_ && sdk_->DeptManager()) sdk_->DeptManager()->DepartmentExists("Norvane");
  } catch (const SdkError& e) {
    return std::string(
               "Zelto服务器不可用或拒绝了本程序 (凭据文件 SDKCredentialFile、"
               "SDKSVRIP/SDKSVRPort): ") +
           e.what();
  } catch (...) {
    return "Zelto服务器不可用";
  }
  return "";
}

int SyncEngine::ImportAll() {
  read_complete_ = true;
  CollectServerOrganisation();
  if (!ImportDepartments()) return 0;
  WriteLog("导入部门数据成功");
  if (!ImportUsers()) return 0;
  WriteLog("导入用户数据成功");
  if (!read_complete_) {
    // What was read is on the server; removing "the rest" would remove what was not seen.
    WriteLog("LDAP目录数据读取不完整，本次同步未删除任何部门和用户，同步失败");
    return 0;
  }
  if (manage_sync_.same_cover == 0) {
    if (!DeleteNotLdapData()) {
      WriteLog("删除非LDAP数据失败");
      return 0;
    }
  }
  UpdateUser2Zelto();
  if (!failed_users_.empty()) {
    WriteLog(
        Format("导入LDAP数据未全部成功: %zu个用户未能写入Zelto服务器(见上面的"
               "\"增加用户失败\"), 同步失败",
               failed_users_.size()));
    return 0;
  }
  WriteLog("导入LDAP数据成功");
  return 1;
}

void SyncEngine::UpdateUser2Zelto() {
  if (!sdk_ || !sdk_->DeptManager()) return;
  const std::string name = DnToDeptName(sys_config_.domain);
  // Without a name the call would address the whole organisation; a department this run
  // wrote is the directory's own and stays. The department is the top-level one of that
  // name, addressed by its path: a bare name is resolved anywhere in the tree.
  const std::string path = name + "\\";
  if (name.empty() || written_paths_.count(ToLowerAscii(path))) return;
  try {
    if (sdk_->DeptManager()->DepartmentExists(path)) {
      std::lock_guard<std::mutex> guard(lock_);
      sdk_->DeptManager()->RemoveDepartment(path, 0);
    }
  } catch (...) {
    engine_internal::ReportWriteFailure(name);
  }
}

SyncEngine::ReadStatus SyncEngine::ForEachEntry(const std::string& base, const std::string& filter,
                                                const EntryVisitor& visit) {
  EntryAttributes attributes;
  if (sys_config_.directory_type == kActiveDirectory) {
    LdapPage* page = client_->BeginPagedSearch(connection_, base, filter, {"*"}, 2);
    if (!page) return ReadStatus::kNotStarted;
    int code = 0;
    for (;;) {
      LdapResult* result = nullptr;
      code = client_->NextPage(connection_, page, &result);
      if (code != kLdapSuccess) {
        if (result) client_->FreeResult(result);
        break;
      }
      if (!result) {
        // Neither a page nor the end: the read did not happen, whatever the code says.
        code = -1;
        break;
      }
      int count = client_->CountEntries(connection_, result);
      LdapEntry* entry = client_->FirstEntry(connection_, result);
      for (int i = 0; i < count; ++i) {
        if (!entry) {
          client_->FreeResult(result);
          client_->EndPagedSearch(connection_, page);
          return ReadStatus::kEntryLost;
        }
        if (client_->ReadEntry(connection_, entry, attributes) == 0) {
          visit(attributes, client_->EntryDn(connection_, entry));
        }
        entry = client_->NextEntry(connection_, entry);
      }
      client_->FreeResult(result);
    }
    bool complete = code == kLdapNoMoreResults && CLdapClient::IsComplete(page);
    client_->EndPagedSearch(connection_, page);
    return complete ? ReadStatus::kComplete : ReadStatus::kIncomplete;
  }

  int code = 0;
  LdapResult* result = client_->Search(connection_, base, filter, "*", &code);
  if (!result) return code == kLdapSuccess ? ReadStatus::kComplete : ReadStatus::kNotStarted;
  for (LdapEntry* entry = client_->FirstEntry(connection_, result); entry;
       entry = client_->NextEntry(connection_, entry)) {
    if (client_->ReadEntry(connection_, entry, attributes) == 0) {
      visit(attributes, client_->EntryDn(connection_, entry));
    }
  }
  bool complete = CLdapClient::IsComplete(result);
  client_->FreeResult(result);
  return complete ? ReadStatus::kComplete : ReadStatus::kIncomplete;
}

void SyncEngine::NoteIncompleteRead(const char* what, const std::string& base) {
  read_complete_ = false;
  WriteLog(Format("读取LDAP%s数据不完整 base=%s，本次同步不删除任何数据", what, base.c_str()));
}

std::string SyncEngine::DeptAttribute(const char* key) const {
  auto it = dept_property_.find(key);
  return it == dept_property_.end() ? "" : it->second;
}

std::string SyncEngine::UserAttribute(const char* key) const {
  auto it = user_property_.find(key);
  return it == user_property_.end() ? "" : it->second;
}

// ---- department rules -----------------------------------------------------------------

std::string SyncEngine::DnToDeptPath(const std::string& dn) const {
  return norvane::DnToDeptPath(dn, search_bases_, dc_list_);
}

std::string SyncEngine::DnToDeptName(const std::string& dn) { return norvane::DnToDeptName(dn); }

int SyncEngine::DnDepth(const std::string& text) { return norvane::DnDepth(text); }

bool SyncEngine::IsExcludedDept(const std::string& key) const {
  return !limit_dc_.empty() && limit_dc_.count(DnKey(key)) > 0;
}

bool SyncEngine::IsExcludedUser(const std::string& account) const {
  return !limit_user_.empty() && limit_user_.count(ToLowerAscii(account)) > 0;
}

bool SyncEngine::DeptExistsUnder(const std::string& name, const std::string& parent_path) {
  if (!sdk_) return false;
  try {
    SdkDeptManager* dept = sdk_->DeptManager();
    if (!dept->DepartmentExists(name)) return false;
    for (const std::string& parent : SplitList(dept->ParentsOfDepartment(name))) {
      if (EqualsNoCase(parent, parent_path)) return true;
    }
    // The top answers as the empty entry, which SplitList keeps only before a ";".
    return false;
  } catch (const SdkError&) {
    return false;
  }
}

// ---- organisation document ------------------------------------------------------------

int SyncEngine::ResetOrgDocument() {
  return org_.ResetOrgDocument(CurrentDocumentPath(), PreviewDocumentPath(), current_domain_);
}

XmlElement SyncEngine::OpenBaseElement(const std::string& base, const std::string& path) {
  return org_.OpenBaseElement(base, path);
}

int SyncEngine::AddDeptElement(XmlElement start, const std::string& parent_key,
                               const std::string& key) {
  return org_.AddDeptElement(start, parent_key, key);
}

XmlElement SyncEngine::FindDeptElement(XmlElement start, const std::string& key) const {
  return org_.FindDeptElement(start, key);
}

}  // namespace norvane
