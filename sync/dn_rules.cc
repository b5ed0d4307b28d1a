#include "sync/dn_rules.h"

#include <algorithm>

#include <cctype>

#include "platform/text.h"

namespace norvane {
namespace {

// The longest department name the IM server takes, in bytes.
constexpr std::size_t kDeptNameBytes = 255;

bool IsTypeStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsTypeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
}

// True when the text at `pos` starts a component: optional blanks, an attribute type
// (a name or a dotted OID), optional blanks, "=".
bool StartsComponent(std::string_view dn, std::size_t pos) {
  while (pos < dn.size() && dn[pos] == ' ') ++pos;
  if (pos >= dn.size()) return false;
  if (!IsTypeStart(dn[pos]) && !std::isdigit(static_cast<unsigned char>(dn[pos]))) return false;
  while (pos < dn.size() && IsTypeChar(dn[pos])) ++pos;
  while (pos < dn.size() && dn[pos] == ' ') ++pos;
  return pos < dn.size() && dn[pos] == '=';
}

// Position of the comma that ends the component starting at `from`, or npos.
std::size_t NextSeparator(std::string_view dn, std::size_t from) {
  bool escaped = false;
  for (std::size_t i = from; i < dn.size(); ++i) {
    char c = dn[i];
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == ',' && StartsComponent(dn, i + 1)) {
      return i;
    }
  }
  return std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Splits one component into type and raw value; false when it has no "=".
bool SplitComponent(std::string_view component, std::string_view* type, std::string_view* value) {
  std::size_t eq = component.find('=');
  if (eq == std::string_view::npos) return false;
  *type = TrimBlanks(component.substr(0, eq));
  *value = component.substr(eq + 1);
  return true;
}

}  // namespace

std::vector<std::string_view> SplitDn(std::string_view dn) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start < dn.size()) {
    std::size_t sep = NextSeparator(dn, start);
    if (sep == std::string_view::npos) {
      parts.push_back(dn.substr(start));
      break;
    }
    parts.push_back(dn.substr(start, sep - start));
    start = sep + 1;
  }
  return parts;
}

std::string ParentDn(std::string_view dn) {
  std::size_t sep = NextSeparator(dn, 0);
  if (sep == std::string_view::npos) return "";
  return std::string(dn.substr(sep + 1));
}

std::string DeptNameOf(std::string_view directory_name) {
  std::string name(directory_name);
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return CutToBytes(name, kDeptNameBytes);
}

std::string EscapeDnValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 4);
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                         c == ';' || c == '=' || (i == 0 && (c == '#' || c == ' ')) ||
                         (i + 1 == value.size() && c == ' ');
    if (special) out += '\\';
    out += c;
  }
  return out;
}

std::string DnToDeptName(std::string_view dn) {
  if (dn.size() <= 3) return "";
  std::size_t semi = dn.find(';');
  if (semi != std::string_view::npos) dn = dn.substr(0, semi);
  std::vector<std::string_view> parts = SplitDn(dn);
  for (std::string_view part : parts) {
    std::string_view type, value;
    if (SplitComponent(part, &type, &value) && EqualsNoCase(type, "ou")) {
      return DeptNameOf(UnescapeDnValue(value));
    }
  }
  std::string domain;
  for (std::string_view part : parts) {
    std::string_view type, value;
    if (SplitComponent(part, &type, &value) && EqualsNoCase(type, "dc")) {
      if (!domain.empty()) domain += '.';
      domain += ToLowerAscii(UnescapeDnValue(value));
    }
  }
  return DeptNameOf(domain);
}

namespace {

// The first index at which `run` stands in `parts` as whole components, compared as DN
// keys (case and blanks ignored); npos when it does not, or is empty.
std::size_t FindRun(const std::vector<std::string_view>& parts,
                    const std::vector<std::string_view>& run) {
  if (run.empty() || run.size() > parts.size()) return std::string::npos;
  for (std::size_t i = 0; i + run.size() <= parts.size(); ++i) {
    std::size_t k = 0;
    while (k < run.size() && DnKey(parts[i + k]) == DnKey(run[k])) ++k;
    if (k == run.size()) return i;
  }
  return std::string::npos;
}

std::string DeptPathImpl(std::string_view dn, const std::vector<std::string>& bases,
                         const std::vector<DcEntry>& dc_list, bool upper_case) {
  // Matching ignores case; the names come from `text`, upper-cased or as written.
  const std::string upper = ToUpperAscii(dn);
  const std::string text = upper_case ? upper : std::string(dn);
  std::string relative;
  bool found = false;
  for (const std::string& base : bases) {
    if (base.empty()) continue;
    std::size_t pos = upper.find(ToUpperAscii(base));
    if (pos == std::string::npos || pos == 0) continue;
    relative = text.substr(0, pos - 1);
    found = true;
    break;
  }
  if (!found) return "";

  for (const DcEntry& dc : dc_list) {
    std::string e = ToUpperAscii(dc.domain_name);
    if (e.empty()) continue;  // an empty name would match every DN
    // A controller entry that is a search base itself stands for nothing below it.
    if (std::any_of(bases.begin(), bases.end(),
                    [&](const std::string& b) { return DnKey(b) == DnKey(e); })) {
      continue;
    }
    // Whole components only: OU=LiveB is no part of OU=LiveBench.
    const std::vector<std::string_view> rel = SplitDn(relative);
    const std::vector<std::string_view> ent = SplitDn(e);
    const std::size_t p = FindRun(rel, ent);
    if (p == 0) return DnToDeptName(e) + "\\";
    if (p != std::string::npos) {
      const std::size_t offset = static_cast<std::size_t>(rel[p].data() - relative.data());
      relative = relative.substr(0, offset - 1) + ",OU=" + DnToDeptName(e);
      break;
    }
    if (!rel.empty() && FindRun(ent, rel) != std::string::npos) return "\\";
  }

  std::string path;
  for (std::string_view part : SplitDn(relative)) {
    std::string_view type, value;
    if (SplitComponent(part, &type, &value) && EqualsNoCase(type, "ou")) {
      path = DeptNameOf(UnescapeDnValue(value)) + "\\" + path;
    }
  }
  return path;
}

}  // namespace

std::string DnToDeptPath(std::string_view dn, const std::vector<std::string>& bases,
                         const std::vector<DcEntry>& dc_list) {
  return DeptPathImpl(dn, bases, dc_list, true);
}

std::string DnToDeptPathAsNamed(std::string_view dn, const std::vector<std::string>& bases,
                                const std::vector<DcEntry>& dc_list) {
  return DeptPathImpl(dn, bases, dc_list, false);
}

int DnDepth(std::string_view text) {
  int n = 0;
  for (char c : text) n += c == '=';
  return n;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string DnKey(std::string_view dn) { return ToLowerAscii(NormaliseDnText(dn)); }

bool DnContains(std::string_view dn, std::string_view part) {
  return FindRun(SplitDn(dn), SplitDn(part)) != std::string::npos;
}

}  // namespace norvane
