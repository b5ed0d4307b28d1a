// The write observer and the dry run: writes remembered instead of sent, and the reads that
// a run makes after its own writes answered as if they had been made.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "platform/text.h"
#include "server/sdk_internal.h"

namespace norvane {

std::string LastDeptName(const std::string& path) {
  std::string trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('\\');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string ParentDeptPath(const std::string& path) {
  std::string trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('\\');
  return slash == std::string::npos ? "" : trimmed.substr(0, slash + 1);
}

namespace {

bool IsPath(const std::string& ref) { return ref.find('\\') != std::string::npos; }

std::string PathKey(const std::string& path) {
  std::string key = ToLowerAscii(path);
  if (!key.empty() && key.back() != '\\') key += '\\';
  return key;
}

}  // namespace

struct SdkDryRun {
  std::mutex mu;
  // Lower-case full paths ("a\\b\\") and accounts.
  std::unordered_map<std::string, std::string> added_depts;  // key -> path as written
  std::unordered_set<std::string> removed_depts;             // each with its subtree
  std::unordered_set<std::string> added_users;
  std::unordered_set<std::string> removed_users;
  // The departments of every account a write of the run touched, as they would be.
  std::unordered_map<std::string, std::vector<std::string>> memberships;

  // REQUIRES: mu held.
  bool RemovedPath(const std::string& path) const {
    const std::string key = PathKey(path);
    for (std::size_t i = key.find('\\'); i != std::string::npos; i = key.find('\\', i + 1)) {
      if (removed_depts.count(key.substr(0, i + 1))) return true;
    }
    return false;
  }
  void AddDept(const std::string& path) {
    const std::string key = PathKey(path);
    // Made again below a removed department, or after its own removal: it is there now.
    removed_depts.erase(key);
    added_depts[key] = path;
  }
  void RemoveDept(const std::string& path) {
    const std::string key = PathKey(path);
    std::erase_if(added_depts, [&](const auto& entry) { return entry.first.rfind(key, 0) == 0; });
    removed_depts.insert(key);
    for (auto& [account, paths] : memberships) {
      std::erase_if(paths, [&](const std::string& p) { return PathKey(p).rfind(key, 0) == 0; });
    }
  }
};

SdkCore::SdkCore() = default;
SdkCore::~SdkCore() = default;

namespace {

// The departments `account` is in on the server, before the run's own writes.
std::vector<std::string> ServerDepartmentsOfUser(SdkCore& core, const std::string& account) {
  zelto::Account r;
  r.set_account(account);
  zelto::NameList reply;
  try {
    core.Invoke(core.channel.get(), core.sdk_address, kDeptSource, "DepartmentsOfUser",
                [&](grpc::ClientContext* c) { return core.dept->DepartmentsOfUser(c, r, &reply); });
  } catch (const SdkError&) {
    return {};  // an account the server does not hold is in no department
  }
  return {reply.names().begin(), reply.names().end()};
}

void ApplyDryWrite(SdkCore& core, SdkDryRun& dry, const SdkWrite& w) {
  const std::string account_key = ToLowerAscii(w.account);
  auto memberships_of = [&]() -> std::vector<std::string>& {
    auto it = dry.memberships.find(account_key);
    if (it != dry.memberships.end()) return it->second;
    std::vector<std::string> now;
    if (!dry.added_users.count(account_key) && !dry.removed_users.count(account_key)) {
      now = ServerDepartmentsOfUser(core, w.account);
    }
    return dry.memberships.emplace(account_key, std::move(now)).first->second;
  };
  auto drop = [](std::vector<std::string>& paths, const std::string& path) {
    std::erase_if(paths, [&](const std::string& p) { return EqualsNoCase(p, path); });
  };
  switch (w.kind) {
    case SdkWrite::Kind::kAddDepartment:
      dry.AddDept(w.path);
      break;
    case SdkWrite::Kind::kRemoveDepartment:
      dry.RemoveDept(w.path);
      break;
    case SdkWrite::Kind::kRenameDepartment:
    case SdkWrite::Kind::kMoveDepartment:
      dry.RemoveDept(w.path);
      dry.AddDept(w.to);
      break;
    case SdkWrite::Kind::kAddUser:
      dry.removed_users.erase(account_key);
      dry.added_users.insert(account_key);
      dry.memberships[account_key].clear();
      break;
    case SdkWrite::Kind::kRemoveUser:
      dry.added_users.erase(account_key);
      dry.removed_users.insert(account_key);
      dry.memberships.erase(account_key);
      break;
    case SdkWrite::Kind::kMoveUser: {
      std::vector<std::string>& paths = memberships_of();
      if (!w.path.empty()) drop(paths, w.path);
      if (!w.to.empty()) {
        drop(paths, w.to);
        paths.push_back(w.to);
      }
      break;
    }
    case SdkWrite::Kind::kTakeUserOut:
      drop(memberships_of(), w.path);
      break;
    case SdkWrite::Kind::kSetAuthType:
    case SdkWrite::Kind::kBasicInfo:
    case SdkWrite::Kind::kDetails:
      break;
  }
}

}  // namespace

bool SdkCore::Intercept(const SdkWrite& write) {
  SdkDryRun* d = dry.load();
  if (!d) return false;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    ApplyDryWrite(*this, *d, write);
  }
  Wrote(write);
  return true;
}

SdkWrite DescribeWrite(const zelto::UserWrite& write) {
  using Kind = SdkWrite::Kind;
  switch (write.op_case()) {
    case zelto::UserWrite::kAddUser:
      return {Kind::kAddUser, write.add_user().account(), "", "", write.add_user().auth_type()};
    case zelto::UserWrite::kMoveUser:
      return {Kind::kMoveUser, write.move_user().account(), write.move_user().old_ref(),
              write.move_user().new_ref()};
    case zelto::UserWrite::kTakeUserOut:
      return {Kind::kTakeUserOut, write.take_user_out().account(), write.take_user_out().ref()};
    case zelto::UserWrite::kSetAuthType:
      return {Kind::kSetAuthType, write.set_auth_type().account(), "", "",
              write.set_auth_type().auth_type()};
    case zelto::UserWrite::kBasicInfo:
      return {Kind::kBasicInfo, write.basic_info().account()};
    case zelto::UserWrite::kDetails:
    case zelto::UserWrite::OP_NOT_SET:
      break;
  }
  return {Kind::kDetails, write.details().account()};
}

void SdkRoot::SetWriteObserver(SdkWriteObserver* observer) { core_->observer.store(observer); }

void SdkRoot::SetDryRun(bool on) {
  core_->dry.store(nullptr);
  core_->dry_owner.reset();
  if (!on) return;
  core_->dry_owner = std::make_unique<SdkDryRun>();
  core_->dry.store(core_->dry_owner.get());
}

bool SdkRoot::DryRun() const { return core_->dry.load() != nullptr; }

// ---- reads in a dry run -----------------------------------------------------------------

// Called by the managers with the server's answer; sdk_managers.cc.
bool DryDepartmentExists(SdkCore& core, const std::string& ref, bool on_server) {
  SdkDryRun* d = core.dry.load();
  if (!d) return on_server;
  std::lock_guard<std::mutex> lock(d->mu);
  if (IsPath(ref)) {
    if (d->added_depts.count(PathKey(ref))) return true;
    return on_server && !d->RemovedPath(ref);
  }
  for (const auto& [key, path] : d->added_depts) {
    if (EqualsNoCase(LastDeptName(path), ref)) return true;
  }
  return on_server;
}

std::string DryParentsOfDepartment(SdkCore& core, const std::string& name,
                                   const std::string& on_server) {
  SdkDryRun* d = core.dry.load();
  if (!d) return on_server;
  std::lock_guard<std::mutex> lock(d->mu);
  std::string parents;
  // The answer lists each parent followed by ";", the top as the empty entry.
  std::size_t start = 0;
  while (start < on_server.size()) {
    std::size_t end = on_server.find(';', start);
    if (end == std::string::npos) end = on_server.size();
    const std::string parent = on_server.substr(start, end - start);
    if (!d->RemovedPath(parent + name + "\\")) parents += parent + ";";
    start = end + 1;
  }
  for (const auto& [key, path] : d->added_depts) {
    if (EqualsNoCase(LastDeptName(path), name)) parents += ParentDeptPath(path) + ";";
  }
  return parents;
}

// Null when the server's answer stands.
const std::vector<std::string>* DryDepartmentsOfUser(SdkCore& core, const std::string& account,
                                                     std::vector<std::string>* out) {
  SdkDryRun* d = core.dry.load();
  if (!d) return nullptr;
  std::lock_guard<std::mutex> lock(d->mu);
  auto it = d->memberships.find(ToLowerAscii(account));
  if (it == d->memberships.end()) return nullptr;
  *out = it->second;
  return out;
}

int DryUserExists(SdkCore& core, const std::string& account) {
  SdkDryRun* d = core.dry.load();
  if (!d) return -1;
  std::lock_guard<std::mutex> lock(d->mu);
  const std::string key = ToLowerAscii(account);
  if (d->added_users.count(key)) return 1;
  if (d->removed_users.count(key)) return 0;
  return -1;
}

}  // namespace norvane
