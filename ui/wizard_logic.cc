#include "ui/wizard_logic.h"

#include <ctime>

#include "platform/text.h"

namespace norvane {

DirectoryField FirstMissingField(const DirectoryFields& fields) {
  if (fields.address.empty()) return DirectoryField::kAddress;
  if (fields.admin.empty()) return DirectoryField::kAdmin;
  if (fields.domain.empty()) return DirectoryField::kDomain;
  return DirectoryField::kNone;
}

const char* MissingFieldMessage(DirectoryField field) {
  switch (field) {
    case DirectoryField::kAddress:
      return "IP地址不能为空";
    case DirectoryField::kAdmin:
      return "用户名不能为空";
    case DirectoryField::kDomain:
      return "同步的域名不能为空";
    case DirectoryField::kNone:
      break;
  }
  return "";
}

DcEntry TestEntry(const DirectoryFields& fields, int dept_mode) {
  DcEntry entry;
  entry.domain_name = CutToBytes(fields.domain, kDomainBytes);
  entry.server_ip = CutToBytes(fields.address, kAddressBytes);
  entry.admin_account = CutToBytes(fields.admin, kAccountBytes);
  entry.admin_password = CutToBytes(fields.password, kPasswordBytes);
  entry.server_port = fields.port == 0 ? kDefaultLdapPort : fields.port;
  entry.dept_mode = dept_mode;
  entry.selected = 1;
  return entry;
}

bool StoreDirectoryPage(CLdapConfig& config, const DirectoryFields& fields, int directory_type,
                        const std::vector<DcEntry>& dc_list) {
  SysConfigInfo sys;
  config.LoadSysConfig(sys);
  const bool domain_changed = !EqualsNoCase(sys.domain, fields.domain);
  sys.ldap_server_ip = CutToBytes(fields.address, kAddressBytes);
  sys.ldap_server_port = fields.port == 0 ? kDefaultLdapPort : fields.port;
  sys.admin_account = CutToBytes(fields.admin, kAccountBytes);
  sys.admin_password = CutToBytes(fields.password, kPasswordBytes);
  sys.domain = CutToBytes(fields.domain, kDomainBytes);
  sys.directory_type = directory_type;
  config.SysConfig() = sys;
  config.SetDirectoryType(directory_type);
  config.DcList() = dc_list;
  config.SyncScope().dept_domains = SplitList(sys.domain);
  return domain_changed;
}

DcEntry PreviewEntry(const SysConfigInfo& sys) {
  DcEntry entry;
  entry.domain_name = sys.domain;
  entry.server_ip = sys.ldap_server_ip;
  entry.server_port = sys.ldap_server_port;
  entry.admin_account = sys.admin_account;
  entry.admin_password = sys.admin_password;
  entry.dept_mode = sys.dept_mode;
  entry.directory_type = sys.directory_type;
  entry.selected = 1;
  return entry;
}

std::optional<int> ParseInRange(std::string_view text, int low, int high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::string RangeMessage(int low, int high) {
  return Format("请输入一个介于 %d 和 %d 之间的整数。", low, high);
}

}  // namespace norvane
