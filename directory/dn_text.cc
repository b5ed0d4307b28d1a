#include "directory/dn_text.h"

#include <cctype>
#include <string>

#include "platform/text.h"

namespace norvane {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Position of the first comma at or after `from` that separates components: not escaped by
// a backslash and not inside a quoted value. npos when there is none.
std::size_t SeparatorFrom(std::string_view dn, std::size_t from) {
  bool quoted = false;
  for (std::size_t i = from; i < dn.size(); ++i) {
    char c = dn[i];
    if (c == '\\') {
      ++i;  // the escaped character (or the first of two hex digits) is part of the value
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::string UserFilter(int server_type) {
  if (server_type == 0) return kAdUserFilter;
  if (server_type == 1 || server_type == 2) return kLdapUserFilter;
  return {};
}

std::string DeptFilter(int server_type, int dept_mode) {
  if (server_type == 0) return dept_mode > 0 ? kAdGroupFilter : kAdOuFilter;
  if (server_type == 1 || server_type == 2) return dept_mode > 0 ? kLdapGroupFilter : kLdapOuFilter;
  return {};
}

std::string ChangeFilter(int dept_mode, std::int64_t previous_high_usn) {
  const std::string usn = std::to_string(previous_high_usn);
  if (dept_mode > 0) return "(uSNChanged>=" + usn + ")";
  return "(&(!objectClass=computer)(uSNChanged>=" + usn + "))";
}

std::string UserByAccountFilter(std::string_view account) {
  return "(&(objectClass=user)(objectCategory=person)(SamAccountName=" +
         EscapeFilterValue(account) + "))";
}

std::string AccountFilter(std::string_view account) {
  return "sAMAccountName=" + EscapeFilterValue(account);
}

std::string EqualityFilter(std::string_view attribute, std::string_view value) {
  return std::string(attribute) + "=" + EscapeFilterValue(value);
}

std::string RepairFilter(std::string_view filter) {
  std::string out;
  out.reserve(filter.size() + 4);
  for (std::size_t i = 0; i < filter.size(); ++i) {
    out += filter[i];
    if (filter[i] != '!' || i == 0 || filter[i - 1] != '(' || i + 1 >= filter.size() ||
        filter[i + 1] == '(') {
      continue;
    }
    // A bare item runs to the first ')' that is not escaped (values escape as \29).
    std::size_t end = i + 1;
    while (end < filter.size() && filter[end] != ')') end += filter[end] == '\\' ? 2 : 1;
    if (end >= filter.size()) continue;  // malformed: left for the library to refuse
    out += '(';
    out.append(filter.substr(i + 1, end - i - 1));
    out += ')';
    i = end - 1;
  }
  return out;
}

std::string EscapeFilterValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '*':
        out += "\\2a";
        break;
      case '(':
        out += "\\28";
        break;
      case ')':
        out += "\\29";
        break;
      case '\\':
        out += "\\5c";
        break;
      case '\0':
        out += "\\00";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string UnescapeDnValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c != '\\' || i + 1 >= value.size()) {
      out += c;
      continue;
    }
    int hi = HexValue(value[i + 1]);
    int lo = i + 2 < value.size() ? HexValue(value[i + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += value[i + 1];
      ++i;
    }
  }
  return out;
}

std::string StripBackslashes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\\') out += c;
  }
  return out;
}

bool ParentDnOf(std::string_view dn, std::string& parent) {
  std::size_t comma = SeparatorFrom(dn, 0);
  if (comma == std::string_view::npos) return false;
  parent = std::string(dn.substr(comma + 1));
  return true;
}

std::string ParentDnOrEmpty(std::string_view dn) {
  std::string parent;
  ParentDnOf(dn, parent);
  return parent;
}

std::string OuNameOf(std::string_view dn, std::string_view delimiter) {
  std::size_t ou = dn.find("ou=");
  if (ou == std::string_view::npos) ou = dn.find("OU=");
  if (ou == std::string_view::npos) return {};
  const std::size_t start = ou + 3;
  std::string_view rest = dn.substr(start);
  if (delimiter == ",") return UnescapeDnValue(rest.substr(0, SeparatorFrom(rest, 0)));
  if (delimiter == "\\") {
    // A tombstone's RDN is the old value, an escaped line feed, "DEL:" and the GUID.
    std::size_t end = std::string_view::npos;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] != '\\') continue;
      if (i + 2 < rest.size() && rest[i + 1] == '0' && (rest[i + 2] == 'A' || rest[i + 2] == 'a')) {
        end = i;
        break;
      }
      ++i;
    }
    if (end == std::string_view::npos) end = SeparatorFrom(rest, 0);
    return UnescapeDnValue(rest.substr(0, end));
  }
  std::size_t end = delimiter.empty() ? std::string_view::npos : rest.find(delimiter);
  return std::string(rest.substr(0, end));
}

std::string DnsNameOfDn(std::string_view dn) {
  std::string out;
  std::size_t pos = 0;
  while (pos <= dn.size()) {
    std::size_t comma = SeparatorFrom(dn, pos);
    std::string_view part = dn.substr(pos, comma == std::string_view::npos ? dn.npos : comma - pos);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > 3 && EqualsNoCase(part.substr(0, 3), "dc=")) {
      if (!out.empty()) out += '.';
      out += ToLowerAscii(UnescapeDnValue(part.substr(3)));
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return out;
}

}  // namespace norvane
