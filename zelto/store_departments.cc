// Departments and memberships.
#include "zelto/store_internal.h"

namespace zelto {

std::optional<std::int64_t> Store::FindChild(std::int64_t parent, const std::string& name) {
  Statement s(this, "SELECT id FROM dept WHERE parent = ?1 AND name = ?2");
  s.Bind(1, parent).Bind(2, name);
  if (s.Step()) return s.Int(0);
  return std::nullopt;
}

std::vector<std::int64_t> Store::FindByName(const std::string& name) {
  Statement s(this, "SELECT id FROM dept WHERE name = ?1 ORDER BY id");
  s.Bind(1, name);
  std::vector<std::int64_t> ids;
  while (s.Step()) ids.push_back(s.Int(0));
  return ids;
}

std::string Store::PathOf(std::int64_t id) {
  std::string path;
  while (id != 0) {
    Statement s(this, "SELECT parent, name FROM dept WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step()) Fail("dangling department");
    path = s.Text(1) + "\\" + path;
    id = s.Int(0);
  }
  return path;
}

std::int64_t Store::ResolveRef(const std::string& ref, const char* role) {
  if (ref.empty()) return 0;
  if (ref.find('\\') == std::string::npos) {
    std::vector<std::int64_t> ids = FindByName(ref);
    if (ids.empty()) {
      throw StoreError(StoreCode::kNotFound,
                       std::string(role) + " " + Quote(ref) + ": no department of that name");
    }
    if (ids.size() > 1) {
      std::string where;
      for (std::int64_t id : ids) where += (where.empty() ? "" : ", ") + PathOf(id);
      throw StoreError(StoreCode::kPrecondition,
                       std::string(role) + " name " + Quote(ref) +
                           " is ambiguous: " + std::to_string(ids.size()) +
                           " departments share it (" + where + "); give a path");
    }
    return ids.front();
  }
  std::string rest = ref;
  if (rest.back() == '\\') rest.pop_back();
  std::int64_t id = 0;
  std::size_t start = 0;
  while (true) {
    std::size_t end = rest.find('\\', start);
    std::string name = rest.substr(start, end == std::string::npos ? end : end - start);
    if (name.empty()) {
      throw StoreError(StoreCode::kInvalid,
                       std::string(role) + " path " + Quote(ref) + " has an empty name in it");
    }
    std::optional<std::int64_t> child = FindChild(id, name);
    if (!child) {
      throw StoreError(StoreCode::kNotFound,
                       std::string(role) + " " + Quote(ref) + " does not exist");
    }
    id = *child;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return id;
}

std::int64_t Store::ResolveDepartment(const std::string& ref, const char* role) {
  if (ref.empty()) {
    throw StoreError(StoreCode::kInvalid,
                     std::string(role) + " is empty: the top is not a department");
  }
  return ResolveRef(ref, role);
}

void Store::InsertDepartment(std::int64_t parent, const std::string& name) {
  if (FindChild(parent, name)) {
    throw StoreError(StoreCode::kExists, "department " + Quote(name) + " already exists under " +
                                             PathForMessage(PathOf(parent)));
  }
  Statement s(this, "INSERT INTO dept(parent, name) VALUES(?1, ?2)");
  s.Bind(1, parent).Bind(2, name).Run();
}

void Store::AddDepartment(const std::string& name, const std::string& parent_ref, WriteDone done) {
  CheckName(name, "department name", kMaxDeptNameBytes);
  Write(std::move(done),
        [&] { InsertDepartment(ResolveRef(parent_ref, "parent department"), name); });
}

void Store::RemoveDepartment(const std::string& ref, WriteDone done) {
  Write(std::move(done), [&] {
    std::int64_t id = ResolveDepartment(ref, "department");
    // Memberships of the removed departments go with them (ON DELETE CASCADE).
    Statement s(this,
                "DELETE FROM dept WHERE id IN (WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
                "SELECT d.id FROM dept d JOIN sub ON d.parent = sub.id) SELECT id FROM sub)");
    s.Bind(1, id).Run();
  });
}

void Store::RenameDepartment(const std::string& ref, const std::string& new_name, WriteDone done) {
  CheckName(new_name, "new department name", kMaxDeptNameBytes);
  Write(std::move(done), [&] {
    std::int64_t id = ResolveDepartment(ref, "department");
    std::int64_t parent;
    {
      Statement s(this, "SELECT parent FROM dept WHERE id = ?1");
      s.Bind(1, id);
      if (!s.Step()) Fail("dangling department");
      parent = s.Int(0);
    }
    std::optional<std::int64_t> clash = FindChild(parent, new_name);
    if (clash && *clash != id) {
      throw StoreError(StoreCode::kExists, "department " + Quote(new_name) +
                                               " already exists under " +
                                               PathForMessage(PathOf(parent)));
    }
    Statement s(this, "UPDATE dept SET name = ?2 WHERE id = ?1");
    s.Bind(1, id).Bind(2, new_name).Run();
  });
}

std::string Store::ParentsOfDepartment(const std::string& ref) {
  return Read([&] {
    std::vector<std::int64_t> ids;
    if (ref.find('\\') != std::string::npos) {
      ids.push_back(ResolveDepartment(ref, "department"));
    } else {
      if (ref.empty()) throw StoreError(StoreCode::kInvalid, "department name is empty");
      ids = FindByName(ref);
      if (ids.empty()) {
        throw StoreError(StoreCode::kNotFound, "no department is named " + Quote(ref));
      }
    }
    std::string answer;
    for (std::int64_t id : ids) {
      Statement s(this, "SELECT parent FROM dept WHERE id = ?1");
      s.Bind(1, id);
      if (!s.Step()) Fail("dangling department");
      std::int64_t parent = s.Int(0);
      answer += PathOf(parent) + ";";
    }
    return answer;
  });
}

void Store::MoveDepartment(const std::string& ref, const std::string& new_parent_ref,
                           WriteDone done) {
  Write(std::move(done), [&] {
    std::int64_t id = ResolveDepartment(ref, "department");
    std::int64_t parent = ResolveRef(new_parent_ref, "new parent department");
    for (std::int64_t up = parent; up != 0;) {
      if (up == id) {
        throw StoreError(StoreCode::kInvalid, "cannot move department " + Quote(ref) +
                                                  " under itself or its own subtree");
      }
      Statement s(this, "SELECT parent FROM dept WHERE id = ?1");
      s.Bind(1, up);
      if (!s.Step()) Fail("dangling department");
      up = s.Int(0);
    }
    std::string name;
    {
      Statement s(this, "SELECT name FROM dept WHERE id = ?1");
      s.Bind(1, id);
      if (!s.Step()) Fail("dangling department");
      name = s.Text(0);
    }
    std::optional<std::int64_t> clash = FindChild(parent, name);
    if (clash && *clash != id) {
      throw StoreError(StoreCode::kExists, "department " + Quote(name) + " already exists under " +
                                               PathForMessage(PathOf(parent)));
    }
    Statement s(this, "UPDATE dept SET parent = ?2 WHERE id = ?1");
    s.Bind(1, id).Bind(2, parent).Run();
  });
}

std::vector<std::string> Store::ChildDepartments(const std::string& ref) {
  return Read([&] {
    std::int64_t id = ResolveRef(ref, "department");
    Statement s(this, "SELECT name FROM dept WHERE parent = ?1 ORDER BY id");
    s.Bind(1, id);
    std::vector<std::string> names;
    while (s.Step()) names.push_back(s.Text(0));
    return names;
  });
}

std::vector<std::string> Store::DepartmentUsers(const std::string& ref) {
  return Read([&] {
    std::int64_t id = ResolveRef(ref, "department");
    std::vector<std::string> accounts;
    if (id == 0) {
      Statement s(this,
                  "SELECT account FROM user u WHERE NOT EXISTS "
                  "(SELECT 1 FROM member m WHERE m.user_id = u.id) ORDER BY u.id");
      while (s.Step()) accounts.push_back(s.Text(0));
    } else {
      Statement s(this,
                  "SELECT u.account FROM member m JOIN user u ON u.id = m.user_id "
                  "WHERE m.dept_id = ?1 ORDER BY m.seq");
      s.Bind(1, id);
      while (s.Step()) accounts.push_back(s.Text(0));
    }
    return accounts;
  });
}

void Store::TakeUserOutOfDepartment(const std::string& account, const std::string& ref,
                                    WriteDone done) {
  Write(std::move(done), TakeUserOutStep(account, ref));
}

Store::Step Store::TakeUserOutStep(const std::string& account, const std::string& ref) {
  return [this, &account, &ref] {
    std::int64_t user = RequireUser(account);
    std::int64_t dept = ResolveDepartment(ref, "department");
    Statement s(this, "DELETE FROM member WHERE user_id = ?1 AND dept_id = ?2");
    s.Bind(1, user).Bind(2, dept).Run();
    if (sqlite3_changes(db_) == 0) {
      throw StoreError(StoreCode::kNotFound,
                       "account " + Quote(account) + " is not in department " + Quote(ref));
    }
  };
}

void Store::MoveUser(const std::string& account, const std::string& old_ref,
                     const std::string& new_ref, WriteDone done) {
  Write(std::move(done), MoveUserStep(account, old_ref, new_ref));
}

Store::Step Store::MoveUserStep(const std::string& account, const std::string& old_ref,
                                const std::string& new_ref) {
  return [this, &account, &old_ref, &new_ref] {
    std::int64_t user = RequireUser(account);
    std::optional<std::int64_t> from, to;
    if (!old_ref.empty()) from = ResolveDepartment(old_ref, "old department");
    if (!new_ref.empty()) to = ResolveDepartment(new_ref, "new department");
    if (from && to && *from == *to) {
      // Same department: the membership must exist and stays where it is in the order.
      Statement s(this, "SELECT 1 FROM member WHERE user_id = ?1 AND dept_id = ?2");
      s.Bind(1, user).Bind(2, *from);
      if (!s.Step()) {
        throw StoreError(StoreCode::kNotFound,
                         "account " + Quote(account) + " is not in department " + Quote(old_ref));
      }
      return;
    }
    if (from) {
      Statement s(this, "DELETE FROM member WHERE user_id = ?1 AND dept_id = ?2");
      s.Bind(1, user).Bind(2, *from).Run();
      if (sqlite3_changes(db_) == 0) {
        throw StoreError(StoreCode::kNotFound,
                         "account " + Quote(account) + " is not in department " + Quote(old_ref));
      }
    }
    if (to) {
      Statement s(this, "INSERT OR IGNORE INTO member(user_id, dept_id) VALUES(?1, ?2)");
      s.Bind(1, user).Bind(2, *to).Run();
    }
  };
}

std::vector<std::string> Store::DepartmentsOfUser(const std::string& account) {
  return Read([&] {
    std::int64_t user = RequireUser(account);
    std::vector<std::int64_t> ids;
    {
      Statement s(this, "SELECT dept_id FROM member WHERE user_id = ?1 ORDER BY seq");
      s.Bind(1, user);
      while (s.Step()) ids.push_back(s.Int(0));
    }
    std::vector<std::string> paths;
    for (std::int64_t id : ids) paths.push_back(PathOf(id));
    return paths;
  });
}

bool Store::DepartmentExists(const std::string& ref) {
  return Read([&] {
    if (ref.empty()) return true;
    if (ref.find('\\') == std::string::npos) return !FindByName(ref).empty();
    try {
      ResolveRef(ref, "department");
      return true;
    } catch (const StoreError& e) {
      // A malformed path names no department either.
      if (e.code() == StoreCode::kNotFound || e.code() == StoreCode::kInvalid) return false;
      throw;
    }
  });
}

}  // namespace zelto
