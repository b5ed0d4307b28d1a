#include "app/ctl_config.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

#include "app/ctl_tools.h"
#include "config/credential.h"
#include "config/ldap_config.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/xml.h"

namespace norvane {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  std::uint32_t min_code;
  std::uint32_t code;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min_code = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min_code = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min_code = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  if (code < min_code || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string Password(const std::string& clear) { return JsonString(clear.empty() ? "" : "***"); }

std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
  return out + "]";
}

std::string Map(const AttributeMap& map) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : map) {
    out += (first ? "" : ", ") + JsonString(key) + ": " + JsonString(value);
    first = false;
  }
  return out + "}";
}

// Writes "key": value pairs of one object, one per line at a given indent.
class ObjectWriter {
 public:
  ObjectWriter(std::string& out, int indent) : out_(out), indent_(indent) { out_ += "{"; }
  void Raw(std::string_view key, std::string_view json) {
    out_ += first_ ? "\n" : ",\n";
    out_.append(indent_ + 2, ' ');
    out_ += JsonString(key) + ": ";
    out_ += json;
    first_ = false;
  }
  void Text(std::string_view key, std::string_view text) { Raw(key, JsonString(text)); }
  void Number(std::string_view key, long long value) { Raw(key, std::to_string(value)); }
  void Close() {
    out_ += "\n";
    out_.append(indent_, ' ');
    out_ += "}";
  }

 private:
  std::string& out_;
  int indent_;
  bool first_ = true;
};

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out + "\"";
}

namespace {

// Initialises `config`; false with the one-line reason when its file does not exist.
bool OpenConfigFile(CLdapConfig& config, std::string& path, std::ostream& err) {
  config.Init();
  path = ConfigFilePath();
  if (FileExists(path)) return true;
  err << "norvanectl: configuration file not found: " << path << "\n";
  return false;
}

}  // namespace

int CtlConfigShow(std::ostream& out, std::ostream& err) {
  CLdapConfig config;
  std::string path;
  if (!OpenConfigFile(config, path, err)) return 1;
  {
    // The store reports an unusable file only as failed loads; tell it apart here.
    XmlDocument doc;
    if (!doc.Load(path) || doc.Root().Name() != "LdapConfig") {
      err << "norvanectl: configuration file cannot be read (unreadable, not well-formed XML, "
             "or no LdapConfig element): "
          << path << "\n";
      return 1;
    }
  }

  SysConfigInfo sys;
  config.LoadSysConfig(sys);
  std::vector<DcEntry> dcs;
  config.LoadDcList(dcs);
  ManageSyncInfo manage;
  config.LoadManageSync(manage);
  int start_type = 0;
  config.LoadStartMode(start_type);
  std::vector<std::string> limit_dc, limit_user, attribute_names;
  config.LoadLimitDC(limit_dc);
  config.LoadLimitUser(limit_user);
  config.LoadUserAttributeNames(attribute_names);
  AttributeMap user_property, dept_property;
  config.LoadUserProperty(user_property);
  config.LoadDeptProperty(dept_property);
  SyncScopeInfo scope;
  config.LoadSyncScope(scope);

  std::string json;
  ObjectWriter top(json, 0);
  top.Number("DirectoryType", CurrentDirectoryType());

  std::string sys_json;
  ObjectWriter s(sys_json, 2);
  s.Text("LDAPSVRIP", sys.ldap_server_ip);
  s.Number("LDAPSVRPort", sys.ldap_server_port);
  s.Text("APPSVRIP", sys.app_server_ip);
  s.Number("APPSVRPort", sys.app_server_port);
  s.Text("SDKSVRIP", sys.sdk_server_ip);
  s.Number("SDKSVRPort", sys.sdk_server_port);
  s.Text("DC", sys.domain);
  s.Text("ADMIN", sys.admin_account);
  s.Raw("SN", Password(sys.admin_password));
  s.Number("LDAPSVRType", sys.directory_type);
  s.Number("DeptMode", sys.dept_mode);
  s.Number("AllowDC", sys.allow_dc);
  s.Number("StepImport", sys.step_import);
  s.Text("SDKCredentialFile", sys.sdk_credential_file);
  s.Text("SDKCAFile", sys.sdk_ca_file);
  s.Number("RequireTLS", sys.require_tls);
  s.Close();
  top.Raw("SysConfig", sys_json);

  std::string dcs_json = "[";
  for (std::size_t i = 0; i < dcs.size(); ++i) {
    const DcEntry& dc = dcs[i];
    dcs_json += i ? ",\n    " : "\n    ";
    ObjectWriter d(dcs_json, 4);
    d.Number("DCSelect", dc.selected);
    d.Text("DCName", dc.domain_name);
    d.Text("LDAPSVRIP", dc.server_ip);
    d.Number("LDAPSVRPort", dc.server_port);
    d.Number("DeptMode", dc.dept_mode);
    d.Text("ADMIN", dc.admin_account);
    d.Raw("SN", Password(dc.admin_password));
    d.Close();
  }
  dcs_json += dcs.empty() ? "]" : "\n  ]";
  top.Raw("AllowDC", dcs_json);

  std::string manage_json;
  ObjectWriter m(manage_json, 2);
  m.Number("AUTHTYPE", manage.auth_type);
  m.Number("SameCover", manage.same_cover);
  m.Number("IfAutoSync", manage.auto_sync);
  m.Number("UpdateTime", manage.update_time);
  m.Number("DeleteThreshold", manage.delete_threshold);
  m.Close();
  top.Raw("ManageSync", manage_json);

  top.Number("StartType", start_type);
  top.Raw("LimitDC", List(limit_dc));
  top.Raw("LimitUser", List(limit_user));
  top.Raw("UserAttributeNames", List(attribute_names));
  top.Raw("UserProperty", Map(user_property));
  top.Raw("DeptProperty", Map(dept_property));

  std::string scope_json;
  ObjectWriter sc(scope_json, 2);
  sc.Raw("DeptDomain", List(scope.dept_domains));
  sc.Number("PDeptType", scope.pdept_type);
  sc.Text("PDeptKey", scope.pdept_key);
  sc.Raw("UserDomain", List(scope.user_domains));
  sc.Number("UserDeptType", scope.user_dept_type);
  sc.Text("UserDeptKey", scope.user_dept_key);
  sc.Close();
  top.Raw("SyncScope", scope_json);
  top.Close();

  out << json << "\n";
  out.flush();
  return out ? 0 : 1;
}

int CtlConfigShow() { return CtlConfigShow(std::cout, std::cerr); }

namespace {

// SDKCredentialFile, SDKCAFile (an absolute path, "" removes it) and RequireTLS (0 or 1).
int SetTrustSetting(const std::string& name, const std::string& value, std::ostream& out,
                    std::ostream& err) {
  const bool path = name != "RequireTLS";
  if (path && !value.empty() && value.front() != '/') {
    // The service does not run in the administrator's current folder.
    err << "norvanectl: " << name << " 必须是绝对路径: " << value << "\n";
    return 1;
  }
  if (path && value.size() > kPathBytes) {
    err << "norvanectl: " << name << " 超过 " << kPathBytes << " 字节\n";
    return 1;
  }
  if (!path && value != "0" && value != "1") {
    err << "norvanectl: RequireTLS 必须是 0 或 1, 不是 \"" << value << "\"\n";
    return 1;
  }
  CLdapConfig config;
  std::string file;
  if (!OpenConfigFile(config, file, err)) return 1;
  if (!config.SaveTrustSetting(name, value)) {
    err << "norvanectl: " << name << " 无法保存到 " << file
        << " (没有 SysConfig, 或文件不能写入)\n";
    return 1;
  }
  out << name << (value.empty() ? " 已删除, " : " 已设为 " + value + ", 保存到 ") << file << "\n";
  if (path && !value.empty() && !FileExists(value)) out << "注意: " << value << " 尚不存在\n";
  if (!path && value == "0") {
    out << "注意: 目录连接在服务器不提供 StartTLS 时将以明文传送密码\n";
  }
  return 0;
}

// Where a setting lives, and how its value is checked (as the wizard checks its fields).
enum class Kind { kText, kPort, kChoice, kCount, kTime, kPassword };
struct Setting {
  const char* name;
  const char* element;  // SysConfig, ManageSync or StartMode
  Kind kind;
  long low, high;     // kChoice, kCount: the range; kText: the most bytes
  bool domain_entry;  // also kept in the domain's ChildDC entry
};

const Setting kSettings[] = {
    {"LDAPSVRIP", "SysConfig", Kind::kText, 1, static_cast<long>(kAddressBytes), true},
    {"LDAPSVRPort", "SysConfig", Kind::kPort, 1, 65535, true},
    {"LDAPSVRType", "SysConfig", Kind::kChoice, 0, 2, false},
    {"DC", "SysConfig", Kind::kText, 1, static_cast<long>(kDomainBytes), true},
    {"ADMIN", "SysConfig", Kind::kText, 1, static_cast<long>(kAccountBytes), true},
    {"SN", "SysConfig", Kind::kPassword, 1, static_cast<long>(kPasswordBytes), true},
    {"DeptMode", "SysConfig", Kind::kChoice, 0, 1, true},
    {"APPSVRIP", "SysConfig", Kind::kText, 1, static_cast<long>(kAddressBytes), false},
    {"APPSVRPort", "SysConfig", Kind::kPort, 1, 65535, false},
    {"SDKSVRIP", "SysConfig", Kind::kText, 1, static_cast<long>(kAddressBytes), false},
    {"SDKSVRPort", "SysConfig", Kind::kPort, 1, 65535, false},
    {"AUTHTYPE", "ManageSync", Kind::kChoice, 0, 1, false},
    {"SameCover", "ManageSync", Kind::kChoice, 0, 1, false},
    {"IfAutoSync", "ManageSync", Kind::kChoice, 0, 1, false},
    {"UpdateTime", "ManageSync", Kind::kTime, 0, 0, false},
    {"DeleteThreshold", "ManageSync", Kind::kCount, 0, 1000000000, false},
    {"DeleteShare", "ManageSync", Kind::kCount, 0, 100, false},
    {"StartType", "StartMode", Kind::kChoice, 0, 1, false},
};

bool ParseWhole(const std::string& text, long* out) {
  if (text.empty() || text.size() > 10) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// The value of `setting` from the command line (or, for the password, standard input),
// checked. False with a one-line reason on `err`.
bool CheckedValue(const Setting& setting, const std::string& given, std::istream& in,
                  std::ostream& err, std::string* text, long* number) {
  const std::string name = setting.name;
  switch (setting.kind) {
    case Kind::kText:
      if (given.empty() || given.size() > static_cast<std::size_t>(setting.high) ||
          given.find_first_of(" \t\r\n") != std::string::npos) {
        err << "norvanectl: " << name << " 必须是 1 到 " << setting.high
            << " 字节且不含空白的文本\n";
        return false;
      }
      *text = given;
      return true;
    case Kind::kPassword:
      // Never from the command line, where every local user could read it.
      if (given != "-") {
        err << "norvanectl: 密码不能写在命令行上: 用 config set SN - 从标准输入读入\n";
        return false;
      }
      if (!ReadSecretLine(*text, in) || text->empty() ||
          text->size() > static_cast<std::size_t>(setting.high)) {
        WipePassword(*text);
        err << "norvanectl: 标准输入上没有 1 到 " << setting.high << " 字节的密码\n";
        return false;
      }
      return true;
    case Kind::kTime: {
      long hour = 0, minute = 0;
      const std::size_t colon = given.find(':');
      if (colon == std::string::npos || !ParseWhole(given.substr(0, colon), &hour) ||
          !ParseWhole(given.substr(colon + 1), &minute) || hour > 23 || minute > 59) {
        err << "norvanectl: UpdateTime 必须是 HH:MM (00:00 到 23:59), 不是 \"" << given << "\"\n";
        return false;
      }
      *number =
          static_cast<long>(DailyUpdateTime(static_cast<int>(hour), static_cast<int>(minute)));
      return true;
    }
    case Kind::kPort:
    case Kind::kChoice:
    case Kind::kCount:
      if (!ParseWhole(given, number) || *number < setting.low || *number > setting.high) {
        err << "norvanectl: " << name << " 必须是 " << setting.low << " 到 " << setting.high
            << " 之间的整数, 不是 \"" << given << "\"\n";
        return false;
      }
      return true;
  }
  return false;
}

}  // namespace

int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 std::istream& in) {
  if (args.size() != 2) return 2;
  const std::string& name = args[0];
  const std::string& value = args[1];
  const bool trust = name == "SDKCredentialFile" || name == "SDKCAFile" || name == "RequireTLS";
  const Setting* setting = nullptr;
  for (const Setting& s : kSettings) {
    if (name == s.name) setting = &s;
  }
  if (!trust && !setting) {
    err << "norvanectl: config set 不认识 \"" << name
        << "\"; 可设置: SysConfig 的 LDAPSVRIP LDAPSVRPort LDAPSVRType DC ADMIN SN DeptMode "
           "APPSVRIP APPSVRPort SDKSVRIP SDKSVRPort SDKCredentialFile SDKCAFile RequireTLS, "
           "ManageSync 的 AUTHTYPE SameCover IfAutoSync UpdateTime DeleteThreshold DeleteShare, "
           "StartMode 的 StartType\n";
    return 1;
  }
  if (trust) return SetTrustSetting(name, value, out, err);

  std::string text;
  long number = 0;
  if (!CheckedValue(*setting, value, in, err, &text, &number)) return 1;
  CLdapConfig config;
  std::string file;
  if (!OpenConfigFile(config, file, err)) {
    WipePassword(text);
    return 1;
  }
  bool saved = false;
  const std::string element = setting->element;
  if (element == "StartMode") {
    saved = config.SaveStartMode(static_cast<int>(number));
  } else if (element == "ManageSync") {
    ManageSyncInfo manage;
    config.LoadManageSync(manage);
    if (name == "AUTHTYPE") manage.auth_type = static_cast<std::int16_t>(number);
    if (name == "SameCover") manage.same_cover = static_cast<std::int32_t>(number);
    if (name == "IfAutoSync") manage.auto_sync = static_cast<std::int32_t>(number);
    if (name == "UpdateTime") manage.update_time = number;
    if (name == "DeleteThreshold") manage.delete_threshold = number;
    if (name == "DeleteShare") manage.delete_share = number;
    saved = config.SaveManageSync(manage);
  } else {
    SysConfigInfo sys;
    if (!config.LoadSysConfig(sys)) {
      WipePassword(text);
      err << "norvanectl: " << file << " 中没有 SysConfig\n";
      return 1;
    }
    const std::string old_domain = sys.domain;
    if (name == "LDAPSVRIP") sys.ldap_server_ip = text;
    if (name == "LDAPSVRPort") sys.ldap_server_port = static_cast<std::uint16_t>(number);
    if (name == "LDAPSVRType") sys.directory_type = static_cast<std::int32_t>(number);
    if (name == "DC") sys.domain = text;
    if (name == "ADMIN") sys.admin_account = text;
    if (name == "SN") sys.admin_password = text;
    if (name == "DeptMode") sys.dept_mode = static_cast<std::int32_t>(number);
    if (name == "APPSVRIP") sys.app_server_ip = text;
    if (name == "APPSVRPort") sys.app_server_port = static_cast<std::uint16_t>(number);
    if (name == "SDKSVRIP") sys.sdk_server_ip = text;
    if (name == "SDKSVRPort") sys.sdk_server_port = static_cast<std::uint16_t>(number);
    saved = config.SaveSysConfig(sys);
    if (saved && name == "LDAPSVRType") config.SetDirectoryType(sys.directory_type);
    if (saved && setting->domain_entry) {
      // The domain's own entry follows, as the wizard keeps it: the logins of that domain
      // are routed by it.
      std::vector<DcEntry> entries;
      config.LoadDcList(entries);
      DcEntry* entry = nullptr;
      for (DcEntry& e : entries) {
        if (EqualsNoCase(e.domain_name, old_domain)) entry = &e;
      }
      if (!entry) {
        entries.emplace_back();
        entry = &entries.back();
        entry->selected = 1;
      }
      entry->domain_name = sys.domain;
      entry->server_ip = sys.ldap_server_ip;
      entry->server_port = sys.ldap_server_port;
      entry->dept_mode = sys.dept_mode;
      entry->admin_account = sys.admin_account;
      entry->admin_password = sys.admin_password;
      saved = config.SaveDcList(entries);
    }
    if (saved && name == "DC") {
      // A sync scope that was the old base becomes the new one; one the administrator
      // narrowed is theirs.
      SyncScopeInfo scope;
      config.LoadSyncScope(scope);
      const std::vector<std::string> old_bases = SplitList(old_domain);
      bool changed = false;
      if (scope.dept_domains.empty() || scope.dept_domains == old_bases) {
        scope.dept_domains = SplitList(sys.domain);
        changed = true;
      }
      if (scope.user_domains.empty() || scope.user_domains == old_bases) {
        scope.user_domains = SplitList(sys.domain);
        changed = true;
      }
      if (changed) saved = config.SaveSyncScope(scope);
    }
  }
  const bool secret = setting->kind == Kind::kPassword;
  WipePassword(text);
  if (!saved) {
    err << "norvanectl: " << name << " 无法保存到 " << file << "\n";
    return 1;
  }
  out << name << (secret ? " 已加密保存到 " : " 已设为 " + value + ", 保存到 ") << file << "\n";
  return 0;
}

int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return CtlConfigSet(args, out, err, std::cin);
}

int CtlConfigSet(const std::vector<std::string>& args) {
  return CtlConfigSet(args, std::cout, std::cerr);
}

}  // namespace norvane
