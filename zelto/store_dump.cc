// The whole organisation in one answer, for the administration tool.
#include <map>

#include "zelto/store_internal.h"

namespace zelto {

DumpReply Store::Dump() {
  return Read([&] {
    struct Dept {
      std::int64_t parent;
      std::string name;
    };
    std::map<std::int64_t, Dept> depts;
    std::map<std::int64_t, std::vector<std::int64_t>> children;
    {
      Statement s(this, "SELECT id, parent, name FROM dept ORDER BY id");
      while (s.Step()) {
        depts[s.Int(0)] = Dept{s.Int(1), s.Text(2)};
        children[s.Int(1)].push_back(s.Int(0));
      }
    }
    std::map<std::int64_t, std::string> paths;
    DumpReply reply;
    // The organisation walk: a department's children are listed together, then each
    // child's own subtree follows, in creation order.
    auto walk = [&](auto&& self, std::int64_t id, const std::string& path) -> void {
      auto it = children.find(id);
      if (it == children.end()) return;
      for (std::int64_t child : it->second) {
        paths[child] = path + depts[child].name + "\\";
        reply.add_departments(paths[child]);
      }
      for (std::int64_t child : it->second) self(self, child, paths[child]);
    };
    walk(walk, 0, "");

    std::map<std::int64_t, int> index;
    {
      Statement s(this,
                  "SELECT id, account, name, gender, mobile, email, phone, position, auth_type "
                  "FROM user ORDER BY id");
      while (s.Step()) {
        DumpUser* u = reply.add_users();
        index[s.Int(0)] = reply.users_size() - 1;
        u->set_account(s.Text(1));
        u->set_name(s.Text(2));
        u->set_gender(static_cast<int>(s.Int(3)));
        u->set_mobile(s.Text(4));
        u->set_email(s.Text(5));
        u->set_phone(s.Text(6));
        u->set_position(s.Text(7));
        u->set_auth_type(static_cast<int>(s.Int(8)));
      }
    }
    Statement s(this, "SELECT user_id, dept_id FROM member ORDER BY seq");
    while (s.Step()) {
      auto it = index.find(s.Int(0));
      if (it != index.end()) reply.mutable_users(it->second)->add_departments(paths[s.Int(1)]);
    }
    return reply;
  });
}

}  // namespace zelto
