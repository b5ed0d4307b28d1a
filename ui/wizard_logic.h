// What the configuration wizard's pages decide, apart from the widgets: the checks of the
// directory page, the entries it tests and stores, and the daily update time.
#ifndef NORVANE_UI_WIZARD_LOGIC_H_
#define NORVANE_UI_WIZARD_LOGIC_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ldap_config.h"
#include "config/records.h"

namespace norvane {

inline constexpr std::uint16_t kDefaultLdapPort = 389;
// Where an installed Zelto server keeps its credential (zeltod's database path followed by
// ".credential"); the server page offers it while none is configured.
inline constexpr char kDefaultSdkCredentialFile[] = "/var/lib/zelto/zelto.db.credential";

// The fields of step 1 as typed. A port of 0 stands for an empty field.
struct DirectoryFields {
  std::string address;
  std::uint16_t port = 0;
  std::string admin;
  std::string password;
  std::string domain;
};

// The required fields of step 1, in the order they are checked.
enum class DirectoryField { kNone, kAddress, kAdmin, kDomain };

// The first required field left empty (kNone when all are filled); the password may be
// empty.
DirectoryField FirstMissingField(const DirectoryFields& fields);
// The message for a missing field: "IP地址不能为空", "用户名不能为空", "同步的域名不能为空".
const char* MissingFieldMessage(DirectoryField field);

// The entry the connection test binds with and step 1 keeps: the fields cut to their byte
// limits, port 0 as 389, selected.
DcEntry TestEntry(const DirectoryFields& fields, int dept_mode);

// Stores step 1 into the wizard's configuration object: the stored SysConfig with the
// directory fields and type laid over it (so the IM server settings are kept), the domain
// list, and the department domains split from the domain at ";". Sets the process-wide
// directory type. True when the domain differs (ignoring case) from the stored DC.
bool StoreDirectoryPage(CLdapConfig& config, const DirectoryFields& fields, int directory_type,
                        const std::vector<DcEntry>& dc_list);

// The entry the department preview reads the directory with, from the wizard's SysConfig.
DcEntry PreviewEntry(const SysConfigInfo& sys);

// A number typed into an edit, when it is all digits and within [low, high].
std::optional<int> ParseInRange(std::string_view text, int low, int high);
// The message shown for a number outside [low, high].
std::string RangeMessage(int low, int high);

inline constexpr int kMaxHour = 24;
inline constexpr int kMaxMinute = 60;

// DailyUpdateTime and HourMinuteOf (UpdateTime's form) are in config/ldap_config.h.

}  // namespace norvane

#endif  // NORVANE_UI_WIZARD_LOGIC_H_
