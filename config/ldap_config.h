// CLdapConfig: the one way into LdapConfig.xml. A short-lived object: build one, call Init,
// use it, destroy it. Every Load re-reads the file from disk; every Save re-reads it, changes
// its nodes and writes the whole document back by atomic replace. Nothing is cached between
// operations except the records the caller keeps (or the object's own, for SaveAll).
//
// Results: true on success, false otherwise; no operation throws, shows a message or logs.
// A missing, empty, non-well-formed or rootless file makes every Load return false with its
// prepared empty record and every Save write nothing and return false. The program never
// creates LdapConfig.xml; a Save creates only the elements it needs.
//
// An object is used by one thread at a time. Several objects may work on the same file in
// turn; the last Save wins.
#ifndef NORVANE_CONFIG_LDAP_CONFIG_H_
#define NORVANE_CONFIG_LDAP_CONFIG_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "platform/text.h"
#include "platform/xml.h"

namespace norvane {

// Process-wide configuration path, set by every CLdapConfig::Init to
// BaseFolder() + "LdapConfig.xml". Empty until the first Init. Thread-safe.
std::string ConfigFilePath();

// Process-wide current directory type (LDAPSVRType: kActiveDirectory, kDominoDirectory,
// kNdsDirectory), 0 until set. Init and a successful LoadSysConfig set it from the file;
// CLdapConfig::SetDirectoryType sets it directly. The type picks the section (AD,
// DominoDirectory, NDS) that the mappings and the sync scope are read from and written to.
// Thread-safe.
int CurrentDirectoryType();

// UpdateTime: the time value of local 2011-01-01 hour:minute:00, daylight saving decided
// by the system. 24 and 60 roll over into the next day and hour.
std::int64_t DailyUpdateTime(int hour, int minute);
// The local hour and minute of an UpdateTime.
void HourMinuteOf(std::int64_t update_time, int* hour, int* minute);

// Process-wide: whether plain-text directory connections are forbidden: always, unless
// SysConfig says RequireTLS="0" explicitly. Init and a successful LoadSysConfig set it from
// the file; true until then, and after an Init that cannot read SysConfig. Thread-safe.
bool CurrentRequireTls();

// The DNS-style name of a distinguished name, from its dc= components: dc=test,dc=com and
// ou=sales,DC=Test,DC=Com both give "test.com". Empty when the name has no ",dc=".
std::string DnToDomainName(std::string_view dn);

// AllowDC entries by DnToDomainName(DCName); lookups ignore ASCII case.
using DcDomainMap = std::map<std::string, DcEntry, LessNoCase>;

class CLdapConfig {
 public:
  CLdapConfig();
  ~CLdapConfig();
  CLdapConfig(const CLdapConfig&) = delete;
  CLdapConfig& operator=(const CLdapConfig&) = delete;

  // Sets the process-wide path and directory type (0 when SysConfig cannot be read). True
  // when SysConfig was read; the other operations work either way.
  bool Init();

  // SysConfig. SN is deciphered on load (a value that does not decipher is taken as the
  // clear password) and protected on save. On load the current directory type becomes
  // LDAPSVRType and the process-wide RequireTLS follows the file. Save writes every field
  // except AllowDC, StepImport, SDKCredentialFile, SDKCAFile and RequireTLS, which keep
  // their stored values (they are written only when SysConfig is created).
  bool LoadSysConfig(SysConfigInfo& info);
  bool SaveSysConfig(const SysConfigInfo& info);
  // Sets one of the settings SaveSysConfig keeps: "SDKCredentialFile" or "SDKCAFile" (a
  // path of at most kPathBytes bytes; "" removes it) or "RequireTLS" ("0" or "1"), every
  // other attribute and element as stored. False, with nothing written, for any other name
  // or value, when SysConfig is missing, or when the file cannot be saved.
  bool SaveTrustSetting(std::string_view name, std::string_view value);

  // The ChildDC entries of AllowDC in document order, DCSelect 0 included. False (and an
  // empty list) when there are none.
  bool LoadDcList(std::vector<DcEntry>& list);
  // Replaces AllowDC by the list. Entries whose DCName differ only in ASCII case share one
  // ChildDC, which keeps the later entry's values. An empty list leaves no AllowDC at all.
  // The file is saved once to drop the old list and once per entry, so a failure part-way
  // leaves the entries written so far (and returns false).
  bool SaveDcList(const std::vector<DcEntry>& list);
  // AllowDC entries keyed by domain name (DCSelect not read); of two entries with the same
  // domain name the first stays. False when AllowDC has no usable entry.
  bool LoadDcDomainMap(DcDomainMap& map);

  // ManageSync. Save writes SameCover, AUTHTYPE, UpdateTime, IfAutoSync and DeleteShare;
  // DeleteThreshold, LockoutShield and LockoutWindow are read only and left as stored.
  bool LoadManageSync(ManageSyncInfo& info);
  bool SaveManageSync(const ManageSyncInfo& info);

  // SyncScope of the current type's section. The caller holds scope.lock if it shares it.
  bool LoadSyncScope(SyncScopeInfo& scope);
  bool SaveSyncScope(const SyncScopeInfo& scope);

  // UserProperty / DeptProperty of the current type's section: one pair per attribute.
  // Load clears the map only once the element is found. Save sets one attribute per pair
  // and keeps the element's other attributes; a key that is not a valid XML name makes the
  // save fail with nothing written.
  bool LoadUserProperty(AttributeMap& map);
  bool SaveUserProperty(const AttributeMap& map);
  bool LoadDeptProperty(AttributeMap& map);
  bool SaveDeptProperty(const AttributeMap& map);

  // StartMode/StartType. The value is 0 when the file, element or attribute is missing.
  // LoadStartMode's result is always false: read start_type, not the result.
  bool LoadStartMode(int& start_type);
  bool SaveStartMode(int start_type);

  // LimitDC (distinguished names of departments not synchronised) and LimitUser (accounts
  // not synchronised), one child element's text per item. A missing element is an empty
  // list and not an error. Save replaces the whole list.
  bool LoadLimitDC(std::vector<std::string>& list);
  bool SaveLimitDC(const std::vector<std::string>& list);
  bool LoadLimitUser(std::vector<std::string>& list);
  bool SaveLimitUser(const std::vector<std::string>& list);

  // Attribute names (values ignored) of the "user" element, in attribute order.
  bool LoadUserAttributeNames(std::vector<std::string>& names);

  // Saves the object's own records: SysConfig, DeptProperty, UserProperty, SyncScope,
  // ManageSync, AllowDC, in this order. Always true; each save's own result is dropped.
  bool SaveAll();

  // Changes only the process-wide directory type (the wizard, once the type is chosen).
  void SetDirectoryType(int type);

  // Removes the first child `name` of LdapConfig and saves the file at once.
  bool RemoveSection(std::string_view name);

  // The records this object holds for the wizard and SaveAll.
  SysConfigInfo& SysConfig() { return sys_config_; }
  AttributeMap& DeptProperty() { return dept_property_; }
  AttributeMap& UserProperty() { return user_property_; }
  SyncScopeInfo& SyncScope() { return *sync_scope_; }
  ManageSyncInfo& ManageSync() { return manage_sync_; }
  std::vector<DcEntry>& DcList() { return dc_list_; }

 private:
  // Loads the file into doc_ and returns LdapConfig, or null when the file is missing,
  // unreadable, not well-formed or has no LdapConfig document element.
  XmlElement OpenRoot();
  bool SaveDocument();

  // Child `name` of the current type's section; null when either is missing.
  XmlElement FindSectionChild(XmlElement root, std::string_view name) const;
  // The current type's section, appended to LdapConfig when missing.
  XmlElement GetOrCreateSection(XmlElement root) const;
  // First child `name` of `parent`, appended when missing.
  static XmlElement GetOrCreateChild(XmlElement parent, std::string_view name);
  // Writes one DcEntry into AllowDC (appended when missing), reusing a ChildDC with the
  // same DCName, then saves.
  bool FindDcNode(const DcEntry& entry);

  bool LoadProperty(std::string_view element, AttributeMap& map);
  bool SaveProperty(std::string_view element, const AttributeMap& map);
  bool LoadTextList(std::string_view element, std::vector<std::string>& list);
  bool SaveTextList(std::string_view element, std::string_view item_name,
                    const std::vector<std::string>& list);

  SysConfigInfo sys_config_;
  AttributeMap dept_property_;
  AttributeMap user_property_;
  std::unique_ptr<SyncScopeInfo> sync_scope_;
  ManageSyncInfo manage_sync_;
  std::vector<DcEntry> dc_list_;
  XmlDocument doc_;
};

}  // namespace norvane

#endif  // NORVANE_CONFIG_LDAP_CONFIG_H_
