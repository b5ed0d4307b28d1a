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

#include <nlohmann/json.hpp>

namespace norvane {
namespace {

using Json = nlohmann::ordered_json;

// Text that is not valid UTF-8 shows U+FFFD in its place, so the output is always JSON.
std::string Dump(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

Json Password(const std::string& clear) { return clear.empty() ? "" : "***"; }

}  // namespace

std::string JsonString(std::string_view text) { return Dump(Json(std::string(text)), -1); }

namespace {

// Initialises `config`; false with the one-line reason when its file does not exist.
bool OpenConfigFile(CLdapConfig& config, std::string& path, std::ostream& err) {
  config.Init();
  path = ConfigFilePath();
  if (FileExists(path)) return true;
  err << "norvanectl: 找不到配置文件: " << path << "\n";
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
      err << "norvanectl: 无法读取配置文件 (不可读、不是格式正确的 XML 或没有 LdapConfig "
             "元素): "
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

  Json json;
  json["DirectoryType"] = CurrentDirectoryType();
  json["SysConfig"] = {
      {"LDAPSVRIP", sys.ldap_server_ip},
      {"LDAPSVRPort", sys.ldap_server_port},
      {"APPSVRIP", sys.app_server_ip},
      {"APPSVRPort", sys.app_server_port},
      {"SDKSVRIP", sys.sdk_server_ip},
      {"SDKSVRPort", sys.sdk_server_port},
      {"DC", sys.domain},
      {"ADMIN", sys.admin_account},
      {"SN", Password(sys.admin_password)},
      {"LDAPSVRType", sys.directory_type},
      {"DeptMode", sys.dept_mode},
      {"AllowDC", sys.allow_dc},
      {"StepImport", sys.step_import},
      {"SDKCredentialFile", sys.sdk_credential_file},
      {"SDKCAFile", sys.sdk_ca_file},
      {"RequireTLS", sys.require_tls},
  };
  Json& dc_list = json["AllowDC"] = Json::array();
  for (const DcEntry& dc : dcs) {
    dc_list.push_back({
        {"DCSelect", dc.selected},
        {"DCName", dc.domain_name},
        {"LDAPSVRIP", dc.server_ip},
        {"LDAPSVRPort", dc.server_port},
        {"DeptMode", dc.dept_mode},
        {"ADMIN", dc.admin_account},
        {"SN", Password(dc.admin_password)},
    });
  }
  json["ManageSync"] = {
      {"AUTHTYPE", manage.auth_type},
      {"SameCover", manage.same_cover},
      {"IfAutoSync", manage.auto_sync},
      {"UpdateTime", manage.update_time},
      {"DeleteThreshold", manage.delete_threshold},
  };
  json["StartType"] = start_type;
  json["LimitDC"] = limit_dc;
  json["LimitUser"] = limit_user;
  json["UserAttributeNames"] = attribute_names;
  json["UserProperty"] = user_property;
  json["DeptProperty"] = dept_property;
  json["SyncScope"] = {
      {"DeptDomain", scope.dept_domains},     {"PDeptType", scope.pdept_type},
      {"PDeptKey", scope.pdept_key},          {"UserDomain", scope.user_domains},
      {"UserDeptType", scope.user_dept_type}, {"UserDeptKey", scope.user_dept_key},
  };

  out << Dump(json, 2) << "\n";
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
