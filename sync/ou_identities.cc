#include "sync/ou_identities.h"

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/text.h"
#include "sync/dn_rules.h"

namespace norvane {
namespace {

using Json = nlohmann::json;

Json ReadAll(const std::string& path) {
  std::string text;
  if (path.empty() || !ReadFile(path, &text)) return Json::object();
  Json all = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  return all.is_object() ? all : Json::object();
}

std::string DomainKey(std::string_view domain) { return ToLowerAscii(domain); }

}  // namespace

bool DnAtOrBelow(std::string_view dn, std::string_view ancestor) {
  const std::vector<std::string_view> d = SplitDn(dn);
  const std::vector<std::string_view> a = SplitDn(ancestor);
  if (a.empty() || d.size() < a.size()) return false;
  const std::size_t offset = d.size() - a.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (DnKey(d[offset + i]) != DnKey(a[i])) return false;
  }
  return true;
}

void OuIdentities::Load(std::string path, std::string_view domain) {
  path_ = std::move(path);
  domain_ = DomainKey(domain);
  dn_of_.clear();
  const Json all = ReadAll(path_);
  auto it = all.find(domain_);
  if (it == all.end() || !it->is_object()) return;
  for (const auto& [guid, dn] : it->items()) {
    if (dn.is_string()) dn_of_[guid] = dn.get<std::string>();
  }
}

bool OuIdentities::Save() const {
  if (path_.empty()) return false;
  Json all = ReadAll(path_);
  Json mine = Json::object();
  for (const auto& [guid, dn] : dn_of_) mine[guid] = dn;
  all[domain_] = std::move(mine);
  // A DN that is not valid UTF-8 is written escaped rather than failing the whole record.
  return WriteFileAtomically(path_, all.dump(1, ' ', false, Json::error_handler_t::replace));
}

const std::string* OuIdentities::Find(const std::string& guid) const {
  auto it = dn_of_.find(guid);
  return it == dn_of_.end() ? nullptr : &it->second;
}

void OuIdentities::Set(const std::string& guid, const std::string& dn) {
  if (!guid.empty()) dn_of_[guid] = dn;
}

void OuIdentities::Erase(const std::string& guid) { dn_of_.erase(guid); }

void OuIdentities::Rebase(std::string_view old_dn, std::string_view new_dn) {
  const std::size_t old_depth = SplitDn(old_dn).size();
  for (auto& [guid, dn] : dn_of_) {
    if (!DnAtOrBelow(dn, old_dn)) continue;
    const std::vector<std::string_view> parts = SplitDn(dn);
    std::string moved;
    for (std::size_t i = 0; i + old_depth < parts.size(); ++i) {
      moved.append(parts[i]);
      moved += ',';
    }
    dn = moved + std::string(new_dn);
  }
}

void OuIdentities::ReplaceBelow(std::string_view base,
                                const std::vector<std::pair<std::string, std::string>>& found) {
  std::erase_if(dn_of_, [&](const auto& entry) { return DnAtOrBelow(entry.second, base); });
  for (const auto& [guid, dn] : found) Set(guid, dn);
}

}  // namespace norvane
