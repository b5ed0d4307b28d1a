#include "tests/sync/sync_test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "tests/fixtures/script_runner.h"

namespace norvane::testing {
namespace {

std::string SlapdScript() { return std::string(NORVANE_FIXTURES_DIR) + "/slapd.sh"; }

std::string MakeTempDir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : "";
}

// Values of a JSON string array starting at `pos` ("[...]"), with \\ and \" resolved.
std::vector<std::string> JsonStrings(const std::string& text, std::size_t pos) {
  std::vector<std::string> out;
  std::size_t end = text.find(']', pos);
  while (pos < end) {
    std::size_t q = text.find('"', pos);
    if (q == std::string::npos || q > end) break;
    std::string value;
    std::size_t i = q + 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      value += text[i];
    }
    out.push_back(value);
    pos = i + 1;
    end = text.find(']', pos);
  }
  return out;
}

}  // namespace

SlapdServer::~SlapdServer() { Stop(); }

bool SlapdServer::Start(const std::vector<std::string>& extra_args) {
  state_dir_ = MakeTempDir("norvane-sync-slapd");
  std::vector<std::string> argv = {"bash", SlapdScript(), "start", state_dir_};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  ScriptResult r = RunScript(argv, "", std::chrono::seconds(600));
  if (r.exit_code != 0) {
    fprintf(stderr, "slapd.sh start failed: %s\n", r.errors.c_str());
    return false;
  }
  facts_ = ParseFacts(r.output);
  return Port() > 0;
}

void SlapdServer::Stop() {
  if (!facts_.empty()) {
    RunScript({"bash", SlapdScript(), "stop", Fact("RUN_DIR")}, "", std::chrono::seconds(60));
    facts_.clear();
  }
  if (!state_dir_.empty()) {
    std::system(("rm -rf '" + state_dir_ + "'").c_str());
    state_dir_.clear();
  }
}

void SlapdServer::Kill() {
  int pid = std::atoi(Fact("PID").c_str());
  if (pid > 0) kill(pid, SIGKILL);
}

bool SlapdServer::Restart() {
  ScriptResult r =
      RunScript({"bash", SlapdScript(), "restart", Fact("RUN_DIR")}, "", std::chrono::seconds(120));
  if (r.exit_code != 0) {
    fprintf(stderr, "slapd.sh restart: %s\n", r.errors.c_str());
    return false;
  }
  std::map<std::string, std::string> facts = ParseFacts(r.output);
  if (facts.count("PID")) facts_["PID"] = facts["PID"];
  return true;
}

bool SlapdServer::Modify(const std::string& ldif) {
  ScriptResult r =
      RunScript({"bash", SlapdScript(), "modify", Fact("RUN_DIR")}, ldif, std::chrono::seconds(60));
  if (r.exit_code != 0) fprintf(stderr, "slapd.sh modify: %s\n", r.errors.c_str());
  return r.exit_code == 0;
}

int SlapdServer::Port() const { return std::atoi(Fact("PORT").c_str()); }

std::string SlapdServer::Fact(const std::string& key) const {
  auto it = facts_.find(key);
  return it == facts_.end() ? "" : it->second;
}

BaseFolderScope::BaseFolderScope() {
  dir_ = MakeTempDir("norvane-sync-base");
  mkdir((dir_ + "/logs").c_str(), 0755);
  SetBaseFolder(dir_);
  SetLogListener([this](const std::string& line) {
    std::lock_guard<std::mutex> guard(mu_);
    lines_.push_back(line);
  });
}

BaseFolderScope::~BaseFolderScope() {
  SetLogListener(nullptr);
  SetBaseFolder("");
  std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool BaseFolderScope::WriteConfig(const ConfigSpec& settings, const Zeltod& zeltod) {
  XmlDocument doc;
  if (!doc.Load(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml")) return false;
  XmlElement root = doc.Root();
  XmlElement sys = root.FirstChild("SysConfig");
  sys.SetAttribute("LDAPSVRIP", "127.0.0.1");
  sys.SetAttribute("LDAPSVRPort", std::to_string(settings.ldap_port));
  for (const auto& [name, value] : zeltod.ClientSettings()) sys.SetAttribute(name, value);
  sys.SetAttribute("ADMIN", settings.admin);
  sys.SetAttribute("SN", settings.password);  // a clear value that does not decipher loads as is
  sys.SetAttribute("LDAPSVRType", std::to_string(settings.type));
  sys.SetAttribute("DeptMode", std::to_string(settings.dept_mode));
  sys.SetAttribute("DC", settings.dc);
  // The test slapd speaks plain text; Samba still gets StartTLS, which it offers.
  sys.SetAttribute("RequireTLS", "0");
  XmlElement manage = root.FirstChild("ManageSync");
  manage.SetAttribute("SameCover", std::to_string(settings.same_cover));
  if (settings.delete_threshold < 0) {
    manage.RemoveAttribute("DeleteThreshold");
  } else {
    manage.SetAttribute("DeleteThreshold", std::to_string(settings.delete_threshold));
  }
  if (settings.delete_share < 0) {
    manage.RemoveAttribute("DeleteShare");
  } else {
    manage.SetAttribute("DeleteShare", std::to_string(settings.delete_share));
  }
  XmlElement allow = root.FirstChild("AllowDC");
  for (XmlElement child : allow.Children()) child.Remove();
  std::vector<std::string> dcs = settings.dc_list;
  if (dcs.empty()) dcs = SplitList(settings.dc);
  for (const std::string& name : dcs) {
    XmlElement dc = allow.AppendChild("ChildDC");
    dc.SetAttribute("DCSelect", "1");
    dc.SetAttribute("DCName", name);
    dc.SetAttribute("LDAPSVRIP", "127.0.0.1");
    dc.SetAttribute("LDAPSVRPort", std::to_string(settings.ldap_port));
    dc.SetAttribute("DeptMode", std::to_string(settings.dept_mode));
    dc.SetAttribute("ADMIN", settings.admin);
    dc.SetAttribute("SN", settings.password);
  }
  const char* section = settings.type == 0 ? "AD" : settings.type == 1 ? "DominoDirectory" : "NDS";
  XmlElement users = root.FirstChild(section).FirstChild("UserProperty");
  for (const auto& [key, value] : settings.user_property) users.SetAttribute(key, value);
  if (!doc.Save(dir_ + "/LdapConfig.xml")) return false;

  CLdapConfig config;
  config.Init();
  return config.SaveLimitDC(settings.limit_dc) && config.SaveLimitUser(settings.limit_user);
}

std::vector<std::string> BaseFolderScope::Lines() const {
  std::lock_guard<std::mutex> guard(mu_);
  return lines_;
}

bool BaseFolderScope::Logged(const std::string& fragment) const {
  std::lock_guard<std::mutex> guard(mu_);
  for (const std::string& line : lines_) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void BaseFolderScope::ClearLines() {
  std::lock_guard<std::mutex> guard(mu_);
  lines_.clear();
}

std::string ServerUser::Field(const std::string& name) const {
  const std::string key = "\"" + name + "\": ";
  std::size_t pos = line.find(key);
  if (pos == std::string::npos) return "";
  pos += key.size();
  if (line[pos] != '"') return line.substr(pos, line.find_first_of(",}", pos) - pos);
  std::string value;
  for (std::size_t i = pos + 1; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    value += line[i];
  }
  return value;
}

bool ServerOrg::HasDept(const std::string& path) const {
  for (const std::string& d : departments) {
    if (EqualsNoCase(d, path)) return true;
  }
  return false;
}

ConfigSpec CorpSettings(const SlapdServer& slapd) {
  ConfigSpec settings;
  settings.type = 1;
  settings.dc = "o=corp";
  settings.admin = slapd.Fact("ADMIN_DN");
  settings.password = slapd.Fact("ADMIN_PASSWORD");
  settings.ldap_port = slapd.Port();
  return settings;
}

ConfigSpec DomainSettings(const SambaDomain& dc) {
  ConfigSpec settings;
  settings.type = 0;
  settings.dc = dc.base_dn();
  settings.admin = dc.admin_account();
  settings.password = dc.admin_password();
  settings.ldap_port = dc.port();
  return settings;
}

ServerOrg DumpOrg(const Zeltod& zeltod) {
  ServerOrg org;
  std::string out;
  if (zeltod.Ctl({"dump"}, &out) != 0) return org;
  std::size_t d = out.find("\"departments\": [");
  if (d != std::string::npos) org.departments = JsonStrings(out, d + 15);
  std::size_t pos = 0;
  while ((pos = out.find("{\"account\": ", pos)) != std::string::npos) {
    std::size_t end = out.find('\n', pos);
    ServerUser user;
    user.line = out.substr(pos, end - pos);
    std::size_t deps = user.line.find("\"departments\": [");
    if (deps != std::string::npos) user.departments = JsonStrings(user.line, deps + 15);
    org.users[user.Field("account")] = user;
    pos = end;
  }
  return org;
}

}  // namespace norvane::testing

// The DIGEST-MD5 mechanism of the SASL library keeps OpenSSL objects that it never frees;
// that is not ours to mend, and would hide a leak of our own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so\nleak:libsasl2.so\nleak:libdigestmd5.so\n";
}
