#include "app/ctl_config.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <vector>

#include "config/ldap_config.h"
#include "platform/files.h"
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

int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2) return 2;
  const std::string& name = args[0];
  const std::string& value = args[1];
  const bool path = name == "SDKCredentialFile" || name == "SDKCAFile";
  if (!path && name != "RequireTLS") {
    err << "norvanectl: config set takes SDKCredentialFile, SDKCAFile or RequireTLS, not \"" << name
        << "\"; the other settings are set with the configuration wizard\n";
    return 1;
  }
  if (path && !value.empty() && value.front() != '/') {
    // The service does not run in the administrator's current folder.
    err << "norvanectl: " << name << " must be an absolute path: " << value << "\n";
    return 1;
  }
  if (path && value.size() > kPathBytes) {
    err << "norvanectl: " << name << " is longer than " << kPathBytes << " bytes\n";
    return 1;
  }
  if (!path && value != "0" && value != "1") {
    err << "norvanectl: RequireTLS must be 0 or 1, not \"" << value << "\"\n";
    return 1;
  }
  CLdapConfig config;
  std::string file;
  if (!OpenConfigFile(config, file, err)) return 1;
  if (!config.SaveTrustSetting(name, value)) {
    err << "norvanectl: " << name << " could not be saved in " << file
        << " (no SysConfig element, or the file cannot be written)\n";
    return 1;
  }
  out << name << (value.empty() ? " removed" : " set to " + value) << " in " << file << "\n";
  if (path && !value.empty() && !FileExists(value)) {
    out << "note: " << value << " does not exist yet\n";
  }
  return 0;
}

int CtlConfigSet(const std::vector<std::string>& args) {
  return CtlConfigSet(args, std::cout, std::cerr);
}

}  // namespace norvane
