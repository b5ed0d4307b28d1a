// The organisation managers: departments, memberships and accounts, one call at a time.
#include "server/sdk_internal.h"

namespace norvane {
namespace {

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// <Outer><Inner Name="..."/>...</Outer>
std::string NameListXml(const char* outer, const char* inner, const zelto::NameList& list) {
  std::string xml = std::string("<") + outer + ">";
  for (const std::string& name : list.names()) {
    xml += std::string("<") + inner + " Name=\"" + XmlEscape(name) + "\"/>";
  }
  return xml + "</" + outer + ">";
}

}  // namespace

// ---- department manager ---------------------------------------------------------------

void SdkDeptManager::AddDepartment(const std::string& name, const std::string& parent_path) {
  CheckTexts(kDeptSource, "AddDepartment", {&name, &parent_path});
  const SdkWrite w{SdkWrite::Kind::kAddDepartment, "", parent_path + name + "\\"};
  if (core_->Intercept(w)) return;
  zelto::AddDepartmentRequest r;
  r.set_name(name);
  r.set_parent_ref(parent_path);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "AddDepartment",
                [&](grpc::ClientContext* c) { return core_->dept->AddDepartment(c, r, &reply); });
  core_->Wrote(w);
}

void SdkDeptManager::RemoveDepartment(const std::string& path, int flags) {
  CheckTexts(kDeptSource, "RemoveDepartment", {&path});
  const SdkWrite w{SdkWrite::Kind::kRemoveDepartment, "", path};
  if (core_->Intercept(w)) return;
  zelto::RemoveDepartmentRequest r;
  r.set_ref(path);
  r.set_flags(flags);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "RemoveDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->RemoveDepartment(c, r, &reply); });
  core_->Wrote(w);
}

void SdkDeptManager::RenameDepartment(const std::string& path, const std::string& new_name) {
  CheckTexts(kDeptSource, "RenameDepartment", {&path, &new_name});
  const SdkWrite w{SdkWrite::Kind::kRenameDepartment, "", path,
                   ParentDeptPath(path) + new_name + "\\"};
  if (core_->Intercept(w)) return;
  zelto::RenameDepartmentRequest r;
  r.set_ref(path);
  r.set_new_name(new_name);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "RenameDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->RenameDepartment(c, r, &reply); });
  core_->Wrote(w);
}

std::string SdkDeptManager::ParentsOfDepartment(const std::string& name) {
  CheckTexts(kDeptSource, "ParentsOfDepartment", {&name});
  zelto::DeptRef r;
  r.set_ref(name);
  zelto::TextReply reply;
  try {
    core_->Invoke(
        core_->channel.get(), core_->sdk_address, kDeptSource, "ParentsOfDepartment",
        [&](grpc::ClientContext* c) { return core_->dept->ParentsOfDepartment(c, r, &reply); });
  } catch (const SdkError& e) {
    // A department only a dry run has made is unknown to the server.
    if (e.code != kSdkErrorNotFound || !core_->dry.load()) throw;
  }
  return DryParentsOfDepartment(*core_, name, reply.text());
}

void SdkDeptManager::MoveDepartment(const std::string& path, const std::string& new_parent_path) {
  CheckTexts(kDeptSource, "MoveDepartment", {&path, &new_parent_path});
  const SdkWrite w{SdkWrite::Kind::kMoveDepartment, "", path,
                   new_parent_path + LastDeptName(path) + "\\"};
  if (core_->Intercept(w)) return;
  zelto::MoveDepartmentRequest r;
  r.set_ref(path);
  r.set_new_parent_ref(new_parent_path);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "MoveDepartment",
                [&](grpc::ClientContext* c) { return core_->dept->MoveDepartment(c, r, &reply); });
  core_->Wrote(w);
}

std::string SdkDeptManager::ChildDepartments(const std::string& path) {
  CheckTexts(kDeptSource, "ChildDepartments", {&path});
  zelto::DeptRef r;
  r.set_ref(path);
  zelto::NameList reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "ChildDepartments",
      [&](grpc::ClientContext* c) { return core_->dept->ChildDepartments(c, r, &reply); });
  return NameListXml("Departments", "Department", reply);
}

std::string SdkDeptManager::DepartmentUsers(const std::string& path) {
  CheckTexts(kDeptSource, "DepartmentUsers", {&path});
  zelto::DeptRef r;
  r.set_ref(path);
  zelto::NameList reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentUsers",
                [&](grpc::ClientContext* c) { return core_->dept->DepartmentUsers(c, r, &reply); });
  return NameListXml("Users", "User", reply);
}

void SdkDeptManager::TakeUserOutOfDepartment(const std::string& account, const std::string& path) {
  CheckTexts(kDeptSource, "TakeUserOutOfDepartment", {&account, &path});
  const SdkWrite w{SdkWrite::Kind::kTakeUserOut, account, path};
  if (core_->Intercept(w)) return;
  zelto::MembershipRequest r;
  r.set_account(account);
  r.set_ref(path);
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "TakeUserOutOfDepartment",
      [&](grpc::ClientContext* c) { return core_->dept->TakeUserOutOfDepartment(c, r, &reply); });
  core_->Wrote(w);
}

// The requests that the one-at-a-time calls and the pipeline send alike, texts checked first.
zelto::MoveUserRequest MoveUserRequest(const std::string& account, const std::string& old_path,
                                       const std::string& new_path, int flags) {
  CheckTexts(kDeptSource, "MoveUser", {&account, &old_path, &new_path});
  zelto::MoveUserRequest r;
  r.set_account(account);
  r.set_old_ref(old_path);
  r.set_new_ref(new_path);
  r.set_flags(flags);
  return r;
}

zelto::AddUserRequest AddUserRequest(const std::string& account, int auth_type) {
  CheckTexts(kUserSource, "AddUser", {&account});
  zelto::AddUserRequest r;
  r.set_account(account);
  r.set_auth_type(auth_type);
  return r;
}

zelto::BasicInfo BasicInfoRequest(const std::string& account, const std::string& name, int gender,
                                  const std::string& mobile, const std::string& email,
                                  const std::string& phone, int auth_type) {
  CheckTexts(kUserSource, "SetUserBasicInfo", {&account, &name, &mobile, &email, &phone});
  zelto::BasicInfo r;
  r.set_account(account);
  r.set_name(name);
  r.set_gender(gender);
  r.set_mobile(mobile);
  r.set_email(email);
  r.set_phone(phone);
  r.set_auth_type(auth_type);
  return r;
}

zelto::Details DetailsRequest(const std::string& account, int age, int birthday, int bloodtype,
                              const std::string& fax, const std::string& homepage,
                              const std::string& address, const std::string& postcode,
                              const std::string& country, const std::string& province,
                              const std::string& city, const std::string& college,
                              const std::string& memo, const std::string& position, int type) {
  CheckTexts(kUserSource, "SetUserDetails",
             {&account, &fax, &homepage, &address, &postcode, &country, &province, &city, &college,
              &memo, &position});
  zelto::Details r;
  r.set_account(account);
  r.set_age(age);
  r.set_birthday(birthday);
  r.set_blood_type(bloodtype);
  r.set_fax(fax);
  r.set_homepage(homepage);
  r.set_address(address);
  r.set_postcode(postcode);
  r.set_country(country);
  r.set_province(province);
  r.set_city(city);
  r.set_college(college);
  r.set_memo(memo);
  r.set_position(position);
  r.set_type(type);
  return r;
}

void SdkDeptManager::MoveUser(const std::string& account, const std::string& old_path,
                              const std::string& new_path, int flags) {
  zelto::MoveUserRequest r = MoveUserRequest(account, old_path, new_path, flags);
  const SdkWrite w{SdkWrite::Kind::kMoveUser, account, old_path, new_path};
  if (core_->Intercept(w)) return;
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource, "MoveUser",
                [&](grpc::ClientContext* c) { return core_->dept->MoveUser(c, r, &reply); });
  core_->Wrote(w);
}

std::string SdkDeptManager::DepartmentsOfUser(const std::string& account) {
  CheckTexts(kDeptSource, "DepartmentsOfUser", {&account});
  zelto::NameList reply;
  std::vector<std::string> dry;
  if (DryDepartmentsOfUser(*core_, account, &dry)) {
    for (const std::string& path : dry) reply.add_names(path);
    return NameListXml("Departments", "Department", reply);
  }
  zelto::Account r;
  r.set_account(account);
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentsOfUser",
      [&](grpc::ClientContext* c) { return core_->dept->DepartmentsOfUser(c, r, &reply); });
  return NameListXml("Departments", "Department", reply);
}

void SdkDeptManager::CreateDepartmentUnderParent(const std::string& parent_path,
                                                 const std::string& name, int flags) {
  CheckTexts(kDeptSource, "CreateDepartmentUnderParent", {&parent_path, &name});
  const SdkWrite w{SdkWrite::Kind::kAddDepartment, "", parent_path + name + "\\"};
  if (core_->Intercept(w)) return;
  zelto::CreateUnderParentRequest r;
  r.set_parent_ref(parent_path);
  r.set_name(name);
  r.set_flags(flags);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kDeptSource,
                "CreateDepartmentUnderParent", [&](grpc::ClientContext* c) {
                  return core_->dept->CreateDepartmentUnderParent(c, r, &reply);
                });
  core_->Wrote(w);
}

bool SdkDeptManager::DepartmentExists(const std::string& name_or_path) {
  CheckTexts(kDeptSource, "DepartmentExists", {&name_or_path});
  zelto::DeptRef r;
  r.set_ref(name_or_path);
  zelto::BoolReply reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kDeptSource, "DepartmentExists",
      [&](grpc::ClientContext* c) { return core_->dept->DepartmentExists(c, r, &reply); });
  return DryDepartmentExists(*core_, name_or_path, reply.value());
}

// ---- user manager ---------------------------------------------------------------------

void SdkUserManager::AddUser(const std::string& account, int auth_type) {
  zelto::AddUserRequest r = AddUserRequest(account, auth_type);
  const SdkWrite w{SdkWrite::Kind::kAddUser, account, "", "", auth_type};
  if (core_->Intercept(w)) return;
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "AddUser",
                [&](grpc::ClientContext* c) { return core_->user->AddUser(c, r, &reply); });
  core_->Wrote(w);
}

void SdkUserManager::RemoveUser(const std::string& account) {
  CheckTexts(kUserSource, "RemoveUser", {&account});
  const SdkWrite w{SdkWrite::Kind::kRemoveUser, account};
  if (core_->Intercept(w)) return;
  zelto::Account r;
  r.set_account(account);
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "RemoveUser",
                [&](grpc::ClientContext* c) { return core_->user->RemoveUser(c, r, &reply); });
  core_->Wrote(w);
}

void SdkUserManager::SetUserBasicInfo(const std::string& account, const std::string& name,
                                      int gender, const std::string& mobile,
                                      const std::string& email, const std::string& phone,
                                      int auth_type) {
  zelto::BasicInfo r = BasicInfoRequest(account, name, gender, mobile, email, phone, auth_type);
  const SdkWrite w{SdkWrite::Kind::kBasicInfo, account};
  if (core_->Intercept(w)) return;
  zelto::Empty reply;
  core_->Invoke(
      core_->channel.get(), core_->sdk_address, kUserSource, "SetUserBasicInfo",
      [&](grpc::ClientContext* c) { return core_->user->SetUserBasicInfo(c, r, &reply); });
  core_->Wrote(w);
}

void SdkUserManager::SetUserDetails(const std::string& account, int age, int birthday,
                                    int bloodtype, const std::string& fax,
                                    const std::string& homepage, const std::string& address,
                                    const std::string& postcode, const std::string& country,
                                    const std::string& province, const std::string& city,
                                    const std::string& college, const std::string& memo,
                                    const std::string& position, int type) {
  zelto::Details r =
      DetailsRequest(account, age, birthday, bloodtype, fax, homepage, address, postcode, country,
                     province, city, college, memo, position, type);
  const SdkWrite w{SdkWrite::Kind::kDetails, account};
  if (core_->Intercept(w)) return;
  zelto::Empty reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "SetUserDetails",
                [&](grpc::ClientContext* c) { return core_->user->SetUserDetails(c, r, &reply); });
  core_->Wrote(w);
}

bool SdkUserManager::UserExists(const std::string& account) {
  CheckTexts(kUserSource, "UserExists", {&account});
  if (const int dry = DryUserExists(*core_, account); dry >= 0) return dry == 1;
  zelto::Account r;
  r.set_account(account);
  zelto::BoolReply reply;
  core_->Invoke(core_->channel.get(), core_->sdk_address, kUserSource, "UserExists",
                [&](grpc::ClientContext* c) { return core_->user->UserExists(c, r, &reply); });
  return reply.value();
}

}  // namespace norvane
