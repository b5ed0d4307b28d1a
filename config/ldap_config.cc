// LdapConfig.xml, in the base folder (the parent of the executable's folder):
//
//   <LdapConfig>
//     <SysConfig LDAPSVRIP="" LDAPSVRPort="389" APPSVRIP="" APPSVRPort="" SDKSVRIP=""
//                SDKSVRPort="" DC="dc=corp,dc=com" ADMIN="" SN="hex" LDAPSVRType="0|1|2"
//                DeptMode="" AllowDC="" StepImport="" SDKCredentialFile="path"
//                SDKCAFile="path" RequireTLS="0|1"/>
//     <AllowDC>
//       <ChildDC DCSelect="1" DCName="dc=corp,dc=com" LDAPSVRIP="" LDAPSVRPort=""
//                DeptMode="" ADMIN="" SN="hex"/>          one per domain, any number
//     </AllowDC>
//     <ManageSync AUTHTYPE="" SameCover="" IfAutoSync="" UpdateTime="" DeleteThreshold=""
//                 DeleteShare="" LockoutShield="5" LockoutWindow="15" LiveSync="0|1"/>
//     <StartMode StartType=""/>
//     <LimitDC><ChildDC>dn of an excluded department</ChildDC>...</LimitDC>
//     <LimitUser><User>excluded account</User>...</LimitUser>
//     <user name1="" name2=""/>                 attribute names only; values ignored
//     <AD> | <DominoDirectory> | <NDS>          one section per directory type
//       <UserProperty key="directory attribute" .../>
//       <DeptProperty key="directory attribute" .../>
//       <SyncScope DeptDomain="dn;dn;" PDeptKey="" PDeptType="" UserDomain="dn;"
//                  UserDeptKey="" UserDeptType=""/>
//     </AD>
//   </LdapConfig>
//
// The document element must be named LdapConfig exactly; its children (and the children of
// a type section) are matched ignoring ASCII case, the first match wins. Every value is
// text: numbers are decimal and read like atol (absent or non-numeric reads as 0, ports keep
// their low 16 bits); text fields are cut to their byte limits at a character boundary;
// DeptDomain and UserDomain are ";"-joined lists. SN holds the protected password. The
// section used is the one of the current directory type: DominoDirectory for 1, NDS for 2,
// AD otherwise. Attributes and elements this store does not know are carried through any
// save unchanged, and a save keeps the file's declared encoding.
#include "config/ldap_config.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <exception>
#include <mutex>

#include "config/credential.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace norvane {
namespace {

constexpr char kRootName[] = "LdapConfig";
constexpr char kConfigFileName[] = "LdapConfig.xml";
// A stored SN is read into a 128-byte buffer before it is deciphered.
constexpr std::size_t kStoredPasswordBytes = 127;

std::mutex g_path_mutex;
std::string g_config_path;  // guarded by g_path_mutex
std::atomic<int> g_directory_type{0};
// Until a configuration says otherwise, a directory connection is encrypted.
std::atomic<bool> g_require_tls{true};

void SetConfigFilePath(std::string path) {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  g_config_path = std::move(path);
}

const char* SectionName(int type) {
  switch (type) {
    case kDominoDirectory:
      return "DominoDirectory";
    case kNdsDirectory:
      return "NDS";
    default:
      return "AD";
  }
}

std::string ReadText(const XmlElement& el, std::string_view name, std::size_t max_bytes) {
  return CutToBytes(el.Attribute(name), max_bytes);
}

long ReadNumber(const XmlElement& el, std::string_view name) {
  return ParseLong(el.Attribute(name));
}

std::uint16_t ReadPort(const XmlElement& el, std::string_view name) {
  return static_cast<std::uint16_t>(ReadNumber(el, name));
}

std::int32_t ReadInt32(const XmlElement& el, std::string_view name) {
  return static_cast<std::int32_t>(ReadNumber(el, name));
}

// The clear password of a stored SN; a value that does not decipher is the password itself.
std::string ReadPassword(const XmlElement& el) {
  std::string stored = ReadText(el, "SN", kStoredPasswordBytes);
  DecryptPassword(stored);
  std::string clear = CutToBytes(stored, kPasswordBytes);
  WipePassword(stored);
  return clear;
}

// A DCName holding ";" loses its last character: the wizard once stored a trailing ";".
std::string ReadDcName(const XmlElement& el) {
  std::string name = ReadText(el, "DCName", kDomainBytes);
  if (name.find(';') != std::string::npos && !name.empty()) {
    std::size_t end = name.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.erase(end);
  }
  return name;
}

// DeleteThreshold and DeleteShare guard against mass deletion, so only a plain non-negative
// number may change them; absent, empty or garbled text keeps the default rather than
// reading as 0, which would turn the guard off.
long ReadGuardNumber(const XmlElement& el, const char* name, long default_value) {
  if (!el.HasAttribute(name)) return default_value;
  std::string text = el.Attribute(name);
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  std::size_t end = text.find_last_not_of(" \t\r\n");
  if (begin == std::string::npos) return default_value;
  std::string_view digits(text.data() + begin, end - begin + 1);
  if (digits.size() > 18) return default_value;
  for (char c : digits) {
    if (c < '0' || c > '9') return default_value;
  }
  return ParseLong(digits);
}

bool WriteNumber(XmlElement& el, std::string_view name, long value) {
  return el.SetAttribute(name, std::to_string(value));
}

DcEntry ReadDcEntry(const XmlElement& el, bool with_select) {
  DcEntry entry;
  if (with_select) entry.selected = ReadInt32(el, "DCSelect");
  entry.domain_name = ReadDcName(el);
  entry.server_ip = ReadText(el, "LDAPSVRIP", kAddressBytes);
  entry.server_port = ReadPort(el, "LDAPSVRPort");
  entry.dept_mode = ReadInt32(el, "DeptMode");
  entry.admin_account = ReadText(el, "ADMIN", kAccountBytes);
  entry.admin_password = ReadPassword(el);
  return entry;
}

}  // namespace

std::string ConfigFilePath() {
  std::lock_guard<std::mutex> lock(g_path_mutex);
  return g_config_path;
}

int CurrentDirectoryType() { return g_directory_type.load(); }

std::int64_t DailyUpdateTime(int hour, int minute) {
  std::tm local{};
  local.tm_year = 2011 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 1;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&local));
}

void HourMinuteOf(std::int64_t update_time, int* hour, int* minute) {
  const std::time_t t = static_cast<std::time_t>(update_time);
  std::tm local{};
  localtime_r(&t, &local);
  *hour = local.tm_hour;
  *minute = local.tm_min;
}

bool CurrentRequireTls() { return g_require_tls.load(); }

std::string DnToDomainName(std::string_view dn) {
  static constexpr std::string_view kDcSeparator = ",dc=";
  std::string rest = ToLowerAscii(dn);
  std::string result;
  bool found = false;
  for (std::size_t pos = rest.rfind(kDcSeparator); pos != std::string::npos;
       pos = rest.rfind(kDcSeparator)) {
    std::string part = rest.substr(pos + kDcSeparator.size());
    result = result.empty() ? part : part + "." + result;
    rest.erase(pos);
    found = true;
  }
  if (!found) return "";
  if (rest.rfind("dc=", 0) == 0) {
    std::string part = rest.substr(3);
    result = result.empty() ? part : part + "." + result;
  }
  std::size_t semi = result.rfind(';');
  if (semi != std::string::npos) result.erase(semi);
  return result;
}

CLdapConfig::CLdapConfig() : sync_scope_(std::make_unique<SyncScopeInfo>()) {}

CLdapConfig::~CLdapConfig() = default;

bool CLdapConfig::Init() {
  doc_.Clear();
  SetConfigFilePath(BaseFolder() + kConfigFileName);
  SysConfigInfo scratch;
  const bool have_settings = LoadSysConfig(scratch);
  if (!have_settings) {
    g_directory_type.store(0);
    g_require_tls.store(true);
  }
  if (!sync_scope_) sync_scope_ = std::make_unique<SyncScopeInfo>();
  WipePassword(scratch.admin_password);
  return have_settings;
}

XmlElement CLdapConfig::OpenRoot() {
  const std::string path = ConfigFilePath();
  if (path.empty() || !FileExists(path)) return {};
  if (!doc_.Load(path)) return {};
  XmlElement root = doc_.Root();
  if (!root || root.Name() != kRootName) return {};
  return root;
}

bool CLdapConfig::SaveDocument() {
  std::string encoding = doc_.Encoding();
  return doc_.Save(ConfigFilePath(), encoding.empty() ? "UTF-8" : encoding.c_str());
}

XmlElement CLdapConfig::FindSectionChild(XmlElement root, std::string_view name) const {
  XmlElement section = root.FirstChild(SectionName(CurrentDirectoryType()));
  if (!section) return {};
  return section.FirstChild(name);
}

XmlElement CLdapConfig::GetOrCreateSection(XmlElement root) const {
  return GetOrCreateChild(root, SectionName(CurrentDirectoryType()));
}

XmlElement CLdapConfig::GetOrCreateChild(XmlElement parent, std::string_view name) {
  XmlElement child = parent.FirstChild(name);
  if (!child) child = parent.AppendChild(name);
  return child;
}

bool CLdapConfig::RemoveSection(std::string_view name) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement section = root.FirstChild(name);
  if (!section) return true;
  section.Remove();
  return SaveDocument();
}

// ---- SysConfig

bool CLdapConfig::LoadSysConfig(SysConfigInfo& info) {
  // The assignments below would leave the old password in buffers they give up.
  WipePassword(info.admin_password);
  info = SysConfigInfo{};
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("SysConfig");
  if (!el) return false;
  info.allow_dc = ReadInt32(el, "AllowDC");
  info.step_import = ReadInt32(el, "StepImport");
  info.ldap_server_ip = ReadText(el, "LDAPSVRIP", kAddressBytes);
  info.ldap_server_port = ReadPort(el, "LDAPSVRPort");
  info.app_server_ip = ReadText(el, "APPSVRIP", kAddressBytes);
  info.app_server_port = ReadPort(el, "APPSVRPort");
  info.sdk_server_ip = ReadText(el, "SDKSVRIP", kAddressBytes);
  info.sdk_server_port = ReadPort(el, "SDKSVRPort");
  info.directory_type = ReadInt32(el, "LDAPSVRType");
  info.domain = ReadText(el, "DC", kDomainBytes);
  info.dept_mode = ReadInt32(el, "DeptMode");
  info.admin_account = ReadText(el, "ADMIN", kAccountBytes);
  info.admin_password = ReadPassword(el);
  info.sdk_credential_file = ReadText(el, "SDKCredentialFile", kPathBytes);
  info.sdk_ca_file = ReadText(el, "SDKCAFile", kPathBytes);
  // Plain text is the administrator's explicit choice: only RequireTLS="0" allows it, and an
  // absent or unreadable value keeps every directory connection encrypted.
  info.require_tls = ReadText(el, "RequireTLS", 16) == "0" ? 0 : 1;
  g_directory_type.store(info.directory_type);
  g_require_tls.store(info.require_tls != 0);
  return true;
}

bool CLdapConfig::SaveSysConfig(const SysConfigInfo& info) {
  std::string sn;
  if (!EncryptPassword(info.admin_password, sn)) return false;
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("SysConfig");
  bool ok = true;
  if (!el) {
    el = root.AppendChild("SysConfig");
    ok = WriteNumber(el, "AllowDC", info.allow_dc);
    ok = ok && el.SetAttribute("LDAPSVRIP", info.ldap_server_ip);
    ok = ok && WriteNumber(el, "LDAPSVRPort", info.ldap_server_port);
    ok = ok && el.SetAttribute("SDKSVRIP", info.sdk_server_ip);
    ok = ok && WriteNumber(el, "SDKSVRPort", info.sdk_server_port);
    ok = ok && el.SetAttribute("APPSVRIP", info.app_server_ip);
    ok = ok && WriteNumber(el, "APPSVRPort", info.app_server_port);
    ok = ok && el.SetAttribute("ADMIN", info.admin_account);
    ok = ok && el.SetAttribute("SN", sn);
    ok = ok && WriteNumber(el, "LDAPSVRType", info.directory_type);
    ok = ok && WriteNumber(el, "DeptMode", info.dept_mode);
    ok = ok && el.SetAttribute("DC", info.domain);
    // The trust settings are the administrator's: written only into a new element.
    if (!info.sdk_credential_file.empty()) {
      ok = ok && el.SetAttribute("SDKCredentialFile", info.sdk_credential_file);
    }
    if (!info.sdk_ca_file.empty()) ok = ok && el.SetAttribute("SDKCAFile", info.sdk_ca_file);
    if (info.require_tls == 0) ok = ok && WriteNumber(el, "RequireTLS", 0);
  } else {
    ok = el.SetAttribute("LDAPSVRIP", info.ldap_server_ip);
    ok = ok && WriteNumber(el, "LDAPSVRPort", info.ldap_server_port);
    ok = ok && el.SetAttribute("SDKSVRIP", info.sdk_server_ip);
    ok = ok && WriteNumber(el, "SDKSVRPort", info.sdk_server_port);
    ok = ok && el.SetAttribute("APPSVRIP", info.app_server_ip);
    ok = ok && WriteNumber(el, "APPSVRPort", info.app_server_port);
    ok = ok && WriteNumber(el, "LDAPSVRType", info.directory_type);
    ok = ok && WriteNumber(el, "DeptMode", info.dept_mode);
    ok = ok && el.SetAttribute("ADMIN", info.admin_account);
    ok = ok && el.SetAttribute("SN", sn);
    ok = ok && el.SetAttribute("DC", info.domain);
  }
  return ok && SaveDocument();
}

bool CLdapConfig::SaveTrustSetting(std::string_view name, std::string_view value) {
  const bool path = name == "SDKCredentialFile" || name == "SDKCAFile";
  if (path ? value.size() > kPathBytes : name != "RequireTLS" || (value != "0" && value != "1")) {
    return false;
  }
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("SysConfig");
  if (!el) return false;
  const bool ok = value.empty() ? !el.HasAttribute(name) || el.RemoveAttribute(name)
                                : el.SetAttribute(name, value);
  return ok && SaveDocument();
}

// ---- AllowDC

bool CLdapConfig::LoadDcList(std::vector<DcEntry>& list) {
  list.clear();
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement allow = root.FirstChild("AllowDC");
  if (!allow) return false;
  for (const XmlElement& child : allow.Children()) list.push_back(ReadDcEntry(child, true));
  return !list.empty();
}

bool CLdapConfig::SaveDcList(const std::vector<DcEntry>& list) {
  if (!RemoveSection("AllowDC")) return false;
  for (const DcEntry& entry : list) {
    if (!FindDcNode(entry)) return false;
  }
  return true;
}

bool CLdapConfig::FindDcNode(const DcEntry& entry) {
  std::string sn;
  if (!EncryptPassword(entry.admin_password, sn)) return false;
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement allow = GetOrCreateChild(root, "AllowDC");
  if (!allow) return false;
  XmlElement node;
  for (const XmlElement& child : allow.Children()) {
    if (EqualsNoCase(child.Attribute("DCName"), entry.domain_name)) {
      node = child;
      break;
    }
  }
  if (!node) node = allow.AppendChild("ChildDC");
  bool ok = WriteNumber(node, "DCSelect", entry.selected);
  ok = ok && node.SetAttribute("DCName", entry.domain_name);
  ok = ok && node.SetAttribute("LDAPSVRIP", entry.server_ip);
  ok = ok && WriteNumber(node, "LDAPSVRPort", entry.server_port);
  ok = ok && WriteNumber(node, "DeptMode", entry.dept_mode);
  ok = ok && node.SetAttribute("ADMIN", entry.admin_account);
  ok = ok && node.SetAttribute("SN", sn);
  return ok && SaveDocument();
}

bool CLdapConfig::LoadDcDomainMap(DcDomainMap& map) {
  map.clear();
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement allow = root.FirstChild("AllowDC");
  if (!allow) return false;
  for (const XmlElement& child : allow.Children()) {
    DcEntry entry = ReadDcEntry(child, false);
    std::string key = DnToDomainName(entry.domain_name);
    map.emplace(std::move(key), std::move(entry));  // the first entry of a domain stays
  }
  return !map.empty();
}

// ---- ManageSync

bool CLdapConfig::LoadManageSync(ManageSyncInfo& info) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("ManageSync");
  if (!el) return false;
  info = ManageSyncInfo{};
  info.same_cover = ReadInt32(el, "SameCover");
  info.auth_type = static_cast<std::int16_t>(ReadNumber(el, "AUTHTYPE"));
  info.update_time = ReadNumber(el, "UpdateTime");
  info.auto_sync = ReadInt32(el, "IfAutoSync");
  info.delete_threshold = ReadGuardNumber(el, "DeleteThreshold", kDefaultDeleteThreshold);
  info.delete_share = ReadGuardNumber(el, "DeleteShare", kDefaultDeleteShare);
  info.live_sync = el.HasAttribute("LiveSync") ? ReadInt32(el, "LiveSync") : 1;
  info.lockout_shield = ReadGuardNumber(el, "LockoutShield", kDefaultLockoutShield);
  if (info.lockout_shield <= 0) info.lockout_shield = kDefaultLockoutShield;
  info.lockout_window = ReadGuardNumber(el, "LockoutWindow", kDefaultLockoutWindow);
  if (info.lockout_window <= 0) info.lockout_window = kDefaultLockoutWindow;
  return true;
}

bool CLdapConfig::SaveManageSync(const ManageSyncInfo& info) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = GetOrCreateChild(root, "ManageSync");
  bool ok = WriteNumber(el, "SameCover", info.same_cover);
  ok = ok && WriteNumber(el, "AUTHTYPE", info.auth_type);
  ok = ok && WriteNumber(el, "UpdateTime", static_cast<long>(info.update_time));
  ok = ok && WriteNumber(el, "IfAutoSync", info.auto_sync);
  ok = ok && WriteNumber(el, "DeleteShare", info.delete_share);
  // Written once it is off or already there: a file that never named it stays as it was.
  if (info.live_sync != 1 || el.HasAttribute("LiveSync")) {
    ok = ok && WriteNumber(el, "LiveSync", info.live_sync);
  }
  return ok && SaveDocument();
}

// ---- SyncScope

bool CLdapConfig::LoadSyncScope(SyncScopeInfo& scope) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = FindSectionChild(root, "SyncScope");
  if (!el) return false;
  scope.dept_domains = SplitList(el.Attribute("DeptDomain"));
  scope.pdept_type = ReadInt32(el, "PDeptType");
  scope.pdept_key = ReadText(el, "PDeptKey", kDeptKeyBytes);
  scope.user_domains = SplitList(el.Attribute("UserDomain"));
  scope.user_dept_type = ReadInt32(el, "UserDeptType");
  scope.user_dept_key = ReadText(el, "UserDeptKey", kDeptKeyBytes);
  return true;
}

bool CLdapConfig::SaveSyncScope(const SyncScopeInfo& scope) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement section = GetOrCreateSection(root);
  XmlElement el = GetOrCreateChild(section, "SyncScope");
  bool ok = el.SetAttribute("DeptDomain", JoinList(scope.dept_domains));
  ok = ok && el.SetAttribute("PDeptKey", scope.pdept_key);
  ok = ok && WriteNumber(el, "PDeptType", scope.pdept_type);
  ok = ok && el.SetAttribute("UserDomain", JoinList(scope.user_domains));
  ok = ok && el.SetAttribute("UserDeptKey", scope.user_dept_key);
  ok = ok && WriteNumber(el, "UserDeptType", scope.user_dept_type);
  return ok && SaveDocument();
}

// ---- UserProperty, DeptProperty

bool CLdapConfig::LoadProperty(std::string_view element, AttributeMap& map) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = FindSectionChild(root, element);
  if (!el) return false;
  map.clear();
  for (auto& [name, value] : el.Attributes()) map.insert_or_assign(name, value);
  return true;
}

bool CLdapConfig::SaveProperty(std::string_view element, const AttributeMap& map) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = GetOrCreateChild(GetOrCreateSection(root), element);
  if (!el) return false;
  for (const auto& [key, value] : map) {
    if (!el.SetAttribute(key, value)) return false;  // nothing is saved
  }
  return SaveDocument();
}

bool CLdapConfig::LoadUserProperty(AttributeMap& map) { return LoadProperty("UserProperty", map); }

bool CLdapConfig::SaveUserProperty(const AttributeMap& map) {
  return SaveProperty("UserProperty", map);
}

bool CLdapConfig::LoadDeptProperty(AttributeMap& map) { return LoadProperty("DeptProperty", map); }

bool CLdapConfig::SaveDeptProperty(const AttributeMap& map) {
  return SaveProperty("DeptProperty", map);
}

// ---- StartMode

bool CLdapConfig::LoadStartMode(int& start_type) {
  start_type = 0;
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("StartMode");
  if (el) start_type = static_cast<int>(ReadNumber(el, "StartType"));
  return false;
}

bool CLdapConfig::SaveStartMode(int start_type) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = GetOrCreateChild(root, "StartMode");
  return WriteNumber(el, "StartType", start_type) && SaveDocument();
}

// ---- LimitDC, LimitUser

bool CLdapConfig::LoadTextList(std::string_view element, std::vector<std::string>& list) {
  list.clear();
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild(element);
  if (!el) return true;  // no list yet: nothing excluded
  for (const XmlElement& child : el.Children()) list.push_back(child.Text());
  return true;
}

// The old list is dropped and the new one written in one save, so that no moment on disk
// has the list missing.
bool CLdapConfig::SaveTextList(std::string_view element, std::string_view item_name,
                               const std::vector<std::string>& list) {
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement old_list = root.FirstChild(element);
  if (old_list) old_list.Remove();
  XmlElement el = GetOrCreateChild(root, element);
  if (!el) return false;
  for (const std::string& item : list) {
    XmlElement child = el.AppendChild(item_name);
    if (!child) return false;
    child.SetText(item);
  }
  return SaveDocument();
}

bool CLdapConfig::LoadLimitDC(std::vector<std::string>& list) {
  return LoadTextList("LimitDC", list);
}

bool CLdapConfig::SaveLimitDC(const std::vector<std::string>& list) {
  return SaveTextList("LimitDC", "ChildDC", list);
}

bool CLdapConfig::LoadLimitUser(std::vector<std::string>& list) {
  return LoadTextList("LimitUser", list);
}

bool CLdapConfig::SaveLimitUser(const std::vector<std::string>& list) {
  return SaveTextList("LimitUser", "User", list);
}

// ---- user

bool CLdapConfig::LoadUserAttributeNames(std::vector<std::string>& names) {
  names.clear();
  XmlElement root = OpenRoot();
  if (!root) return false;
  XmlElement el = root.FirstChild("user");
  if (!el) return false;
  for (auto& [name, value] : el.Attributes()) names.push_back(name);
  return true;
}

// ---- the whole record set

bool CLdapConfig::SaveAll() {
  SaveSysConfig(sys_config_);
  SaveDeptProperty(dept_property_);
  SaveUserProperty(user_property_);
  SaveSyncScope(*sync_scope_);
  SaveManageSync(manage_sync_);
  SaveDcList(dc_list_);
  return true;
}

void CLdapConfig::SetDirectoryType(int type) { g_directory_type.store(type); }

}  // namespace norvane
