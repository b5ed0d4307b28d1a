// The configuration records shared by every layer. Text is UTF-8; the byte limits below
// are applied when a record is loaded, always at a character boundary.
#ifndef NORVANE_CONFIG_RECORDS_H_
#define NORVANE_CONFIG_RECORDS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/credential.h"

namespace norvane {

// Byte limits of the text fields (field size less the terminating NUL of the stored form).
inline constexpr std::size_t kAddressBytes = 31;   // LDAPSVRIP, APPSVRIP, SDKSVRIP
inline constexpr std::size_t kDomainBytes = 255;   // DC, DCName
inline constexpr std::size_t kAccountBytes = 127;  // ADMIN
inline constexpr std::size_t kPasswordBytes = 31;  // SN, in clear
inline constexpr std::size_t kDeptKeyBytes = 63;   // PDeptKey, UserDeptKey
inline constexpr std::size_t kPathBytes = 4095;    // SDKCredentialFile, SDKCAFile

// Values of LDAPSVRType.
inline constexpr int kActiveDirectory = 0;
inline constexpr int kDominoDirectory = 1;
inline constexpr int kNdsDirectory = 2;

// Attributes of SysConfig.
struct SysConfigInfo {
  std::string ldap_server_ip;          // LDAPSVRIP
  std::uint16_t ldap_server_port = 0;  // LDAPSVRPort
  std::string app_server_ip;           // APPSVRIP
  std::uint16_t app_server_port = 0;   // APPSVRPort
  std::string sdk_server_ip;           // SDKSVRIP
  std::uint16_t sdk_server_port = 0;   // SDKSVRPort
  std::string domain;                  // DC: distinguished name of the domain
  std::string admin_account;           // ADMIN
  std::string admin_password;          // SN, clear in the record
  std::int32_t directory_type = 0;     // LDAPSVRType
  std::int32_t dept_mode = 0;          // DeptMode
  std::int32_t allow_dc = 0;           // AllowDC
  std::int32_t step_import = 0;        // StepImport
  // Kept as stored by every save (set in the file by the administrator):
  std::string sdk_credential_file;  // SDKCredentialFile: the Zelto server's credential file
  std::string sdk_ca_file;          // SDKCAFile: CA of the Zelto server's TLS certificate
  std::int32_t require_tls = 1;     // RequireTLS: 0 (explicit only) allows plain text

  // Every copy of the clear password is wiped when it goes (the record stays an aggregate;
  // moves are copies).
  ~SysConfigInfo() { WipePassword(admin_password); }
};

// One ChildDC under AllowDC; also the parameter block of a directory connection.
struct DcEntry {
  std::string server_ip;            // LDAPSVRIP
  std::uint16_t server_port = 0;    // LDAPSVRPort
  std::int32_t dept_mode = 0;       // DeptMode
  std::int32_t directory_type = 0;  // not stored
  std::string domain_name;          // DCName
  std::string admin_account;        // ADMIN
  std::string admin_password;       // SN, clear in the record
  std::int32_t selected = 0;        // DCSelect

  ~DcEntry() { WipePassword(admin_password); }  // as SysConfigInfo
};
using LdapServerParams = DcEntry;

inline constexpr long kDefaultDeleteThreshold = 500;
inline constexpr long kDefaultDeleteShare = 20;
inline constexpr long kDefaultLockoutShield = 5;
inline constexpr long kDefaultLockoutWindow = 15;

// Attributes of ManageSync.
struct ManageSyncInfo {
  std::int16_t auth_type = 0;    // AUTHTYPE: imported users authenticate at the directory
  std::int32_t same_cover = 0;   // SameCover: 1 keeps the server's own data
  std::int32_t auto_sync = 0;    // IfAutoSync
  std::int64_t update_time = 0;  // UpdateTime: time_t of local 2011-01-01 hh:mm:00
  // DeleteThreshold: most departments and users together that one removal step may delete;
  // 0 turns the guard off. Absent reads as kDefaultDeleteThreshold.
  long delete_threshold = kDefaultDeleteThreshold;
  // DeleteShare: most accounts one removal step may delete, in percent of the accounts on
  // the server; 0 turns this check off. Absent reads as kDefaultDeleteShare.
  long delete_share = kDefaultDeleteShare;
  // LiveSync: 0 turns live sync off; absent reads as 1.
  std::int32_t live_sync = 1;
  // LockoutShield, LockoutWindow (minutes): the lockout rule logins are kept within where the
  // directory does not say its own (not Active Directory, or a threshold of 0 there): this
  // many wrong passwords within the window lock an account. Read only; absent or not
  // positive reads as the default.
  long lockout_shield = kDefaultLockoutShield;
  long lockout_window = kDefaultLockoutWindow;
};

// Attributes of SyncScope. Carries its own lock for its users; copying copies the data.
struct SyncScopeInfo {
  SyncScopeInfo() = default;
  SyncScopeInfo(const SyncScopeInfo& other) { *this = other; }
  SyncScopeInfo& operator=(const SyncScopeInfo& other) {
    if (this != &other) {
      dept_domains = other.dept_domains;
      pdept_type = other.pdept_type;
      pdept_key = other.pdept_key;
      user_domains = other.user_domains;
      user_dept_type = other.user_dept_type;
      user_dept_key = other.user_dept_key;
    }
    return *this;
  }

  std::mutex lock;
  std::vector<std::string> dept_domains;  // DeptDomain
  std::int32_t pdept_type = 0;            // PDeptType: > 0 means departments from groups
  std::string pdept_key;                  // PDeptKey
  std::vector<std::string> user_domains;  // UserDomain
  std::int32_t user_dept_type = 0;        // UserDeptType
  std::string user_dept_key;              // UserDeptKey
};

// Pairs of UserProperty / DeptProperty, ordered by byte-wise key comparison.
using AttributeMap = std::map<std::string, std::string>;

}  // namespace norvane

#endif  // NORVANE_CONFIG_RECORDS_H_
