#include "zelto/store.h"

#include <sqlite3.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <map>

#include "zelto/schema_version.h"

// Schema. A department's parent is 0 at the top (the top has no row). Names and accounts
// use SQLite's NOCASE collation, which folds ASCII letters only. Memberships keep their
// insertion order in `seq`, which is the order a user's departments are listed in.
namespace zelto {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS dept(
  id INTEGER PRIMARY KEY,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  UNIQUE(parent, name));
CREATE INDEX IF NOT EXISTS dept_by_name ON dept(name);
CREATE TABLE IF NOT EXISTS user(
  id INTEGER PRIMARY KEY,
  account TEXT NOT NULL UNIQUE COLLATE NOCASE,
  auth_type INTEGER NOT NULL,
  name TEXT NOT NULL DEFAULT '',
  gender INTEGER NOT NULL DEFAULT 0,
  mobile TEXT NOT NULL DEFAULT '',
  email TEXT NOT NULL DEFAULT '',
  phone TEXT NOT NULL DEFAULT '',
  age INTEGER NOT NULL DEFAULT 0,
  birthday INTEGER NOT NULL DEFAULT 0,
  blood_type INTEGER NOT NULL DEFAULT 0,
  fax TEXT NOT NULL DEFAULT '',
  homepage TEXT NOT NULL DEFAULT '',
  address TEXT NOT NULL DEFAULT '',
  postcode TEXT NOT NULL DEFAULT '',
  country TEXT NOT NULL DEFAULT '',
  province TEXT NOT NULL DEFAULT '',
  city TEXT NOT NULL DEFAULT '',
  college TEXT NOT NULL DEFAULT '',
  memo TEXT NOT NULL DEFAULT '',
  position TEXT NOT NULL DEFAULT '',
  type INTEGER NOT NULL DEFAULT 0,
  pw_salt BLOB,
  pw_hash BLOB,
  pw_rounds INTEGER);
CREATE TABLE IF NOT EXISTS member(
  seq INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES user(id) ON DELETE CASCADE,
  dept_id INTEGER NOT NULL REFERENCES dept(id) ON DELETE CASCADE,
  UNIQUE(user_id, dept_id));
CREATE INDEX IF NOT EXISTS member_by_dept ON member(dept_id, seq);
)sql";

constexpr const char* kNull = "ZELTO_NULL";
constexpr int kPasswordRounds = 100000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string PathForMessage(const std::string& path) { return path.empty() ? "(top)" : path; }

bool HasControl(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

void CheckText(const std::string& value, const char* field, std::size_t max_bytes) {
  if (value == kNull) return;
  if (!IsValidUtf8(value)) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " is not valid UTF-8");
  }
  if (value.size() > max_bytes) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " is longer than " +
                                              std::to_string(max_bytes) + " bytes");
  }
}

void CheckNumber(int value, const char* field, int max) {
  if (value == -1) return;
  if (value < 0 || value > max) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " " + std::to_string(value) +
                                              " is out of range (-1 or 0.." + std::to_string(max) +
                                              ")");
  }
}

void CheckAccount(const std::string& account) { CheckName(account, "account", kMaxAccountBytes); }

void CheckAuthType(int type) {
  if (type < 0 || type > kMaxAuthType) {
    throw StoreError(StoreCode::kInvalid,
                     "unknown authentication type " + std::to_string(type) + " (0..3)");
  }
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return false;
    }
    i += len;
  }
  return true;
}

void CheckName(const std::string& name, const char* what, std::size_t max_bytes) {
  if (name.empty()) throw StoreError(StoreCode::kInvalid, std::string(what) + " is empty");
  if (name.find('\\') != std::string::npos) {
    throw StoreError(StoreCode::kInvalid,
                     std::string(what) + " " + Quote(name) + " holds \"\\\", which is not allowed");
  }
  if (!IsValidUtf8(name)) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " is not valid UTF-8");
  }
  if (HasControl(name)) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " holds a control character");
  }
  if (name.size() > max_bytes) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " " + Quote(name) +
                                              " is longer than " + std::to_string(max_bytes) +
                                              " bytes");
  }
}

// A cached prepared statement, reset when the wrapper goes out of scope.
class Store::Statement {
 public:
  Statement(Store* store, const char* sql) : store_(store), stmt_(store->Prepare(sql)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& Bind(int index, const std::string& value) {
    Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const unsigned char* data, int size) {
    Check(sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT));
    return *this;
  }
  // "ZELTO_NULL" binds SQL NULL, which the updates read as "leave unchanged".
  Statement& BindText(int index, const std::string& value) {
    if (value == kNull) {
      Check(sqlite3_bind_null(stmt_, index));
      return *this;
    }
    return Bind(index, value);
  }
  Statement& BindNumber(int index, int value) {
    if (value == -1) {
      Check(sqlite3_bind_null(stmt_, index));
      return *this;
    }
    return Bind(index, static_cast<std::int64_t>(value));
  }

  // True while there is a row; false when done.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    store_->Fail("step");
  }
  void Run() {
    while (Step()) {
    }
  }
  std::int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    const auto* p = sqlite3_column_text(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
  }
  std::string Blob(int column) {
    const void* p = sqlite3_column_blob(stmt_, column);
    return p ? std::string(static_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
  }
  bool IsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) store_->Fail("bind");
  }
  Store* store_;
  sqlite3_stmt* stmt_;
};

void Store::Write(WriteDone done, std::function<void()> body) {
  if (done) {
    {
      std::lock_guard<std::mutex> queue(queue_mu_);
      queue_.push_back(PendingWrite{std::move(body), std::move(done), nullptr});
    }
    queued_.notify_one();
    return;
  }
  // The caller waits for its own answer.
  std::mutex mu;
  std::condition_variable answered;
  bool finished = false;
  std::exception_ptr error;
  Write(
      [&](std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mu);
        error = e;
        finished = true;
        answered.notify_one();
      },
      std::move(body));
  std::unique_lock<std::mutex> lock(mu);
  answered.wait(lock, [&] { return finished; });
  if (error) std::rethrow_exception(error);
}

void Store::CommitLoop() {
  std::vector<PendingWrite> batch;
  std::unique_lock<std::mutex> queue(queue_mu_);
  for (;;) {
    queued_.wait(queue, [&] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // closing, and nothing left to commit
    // Everything queued while the last batch committed goes into the next one.
    batch.swap(queue_);
    queue.unlock();
    CommitBatch(batch);
    for (PendingWrite& w : batch) w.done(w.error);
    batch.clear();
    queue.lock();
  }
}

void Store::CommitBatch(std::vector<PendingWrite>& batch) {
  std::lock_guard<std::mutex> lock(mu_);
  auto fail_all = [&] {
    for (PendingWrite& w : batch) {
      if (!w.error) w.error = std::current_exception();
    }
  };
  try {
    Statement(this, "BEGIN IMMEDIATE").Run();
  } catch (...) {
    fail_all();
    return;
  }
  const long long before = sqlite3_total_changes64(db_);
  for (PendingWrite& w : batch) {
    try {
      Statement(this, "SAVEPOINT w").Run();
    } catch (...) {
      w.error = std::current_exception();
      continue;
    }
    try {
      w.body();
    } catch (...) {
      w.error = std::current_exception();
      sqlite3_exec(db_, "ROLLBACK TO w", nullptr, nullptr, nullptr);
    }
    // The savepoint exists, so releasing it cannot fail; the statement is prepared once.
    sqlite3_stmt* release = Prepare("RELEASE w");
    sqlite3_step(release);
    sqlite3_reset(release);
  }
  try {
    // Nothing changed: end the transaction without writing to the log at all.
    if (sqlite3_total_changes64(db_) == before) {
      Statement(this, "ROLLBACK").Run();
    } else {
      Statement(this, "COMMIT").Run();
    }
  } catch (...) {
    fail_all();
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

Store::Store(const std::string& path) {
  int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message =
        "cannot open database " + path + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(StoreCode::kInternal, message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA journal_mode=WAL");
    // FULL syncs the log at every commit: a write is answered only once it would survive a
    // power cut too (NORMAL would lose the last commits then). Group commit makes that one
    // sync per batch.
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
    ApplySchema(db_, path, kSchema);
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
  committer_ = std::thread([this] { CommitLoop(); });
}

Store::~Store() {
  {
    std::lock_guard<std::mutex> queue(queue_mu_);
    closing_ = true;
  }
  queued_.notify_one();
  committer_.join();
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  if (db_) sqlite3_close(db_);
}

sqlite3_stmt* Store::Prepare(const char* sql) {
  for (auto& [key, stmt] : statements_) {
    if (key == sql) return stmt;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    Fail("prepare");
  }
  statements_.emplace_back(sql, stmt);
  return stmt;
}

void Store::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = std::string("database error: ") + (error ? error : "unknown");
    sqlite3_free(error);
    throw StoreError(StoreCode::kInternal, message);
  }
}

void Store::Fail(const char* what) {
  throw StoreError(StoreCode::kInternal,
                   std::string("database error (") + what + "): " + sqlite3_errmsg(db_));
}

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

std::optional<std::int64_t> Store::UserId(const std::string& account) {
  Statement s(this, "SELECT id FROM user WHERE account = ?1");
  s.Bind(1, account);
  if (s.Step()) return s.Int(0);
  return std::nullopt;
}

std::int64_t Store::RequireUser(const std::string& account) {
  if (account.empty()) throw StoreError(StoreCode::kInvalid, "account is empty");
  std::optional<std::int64_t> id = UserId(account);
  if (!id) throw StoreError(StoreCode::kNotFound, "account " + Quote(account) + " does not exist");
  return *id;
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

void Store::AddUser(const std::string& account, int auth_type, WriteDone done) {
  Write(std::move(done), AddUserStep(account, auth_type));
}

Store::Step Store::AddUserStep(const std::string& account, int auth_type) {
  CheckAccount(account);
  CheckAuthType(auth_type);
  return [this, &account, auth_type] {
    if (UserId(account)) {
      throw StoreError(StoreCode::kExists, "account " + Quote(account) + " already exists");
    }
    Statement s(this, "INSERT INTO user(account, auth_type) VALUES(?1, ?2)");
    s.Bind(1, account).Bind(2, static_cast<std::int64_t>(auth_type)).Run();
  };
}

void Store::RemoveUser(const std::string& account, WriteDone done) {
  Write(std::move(done), [&] {
    std::int64_t user = RequireUser(account);
    Statement s(this, "DELETE FROM user WHERE id = ?1");
    s.Bind(1, user).Run();
  });
}

void Store::SetUserBasicInfo(const BasicInfo& info, WriteDone done) {
  Write(std::move(done), BasicInfoStep(info));
}

Store::Step Store::BasicInfoStep(const BasicInfo& info) {
  CheckText(info.name(), "name", kMaxBasicTextBytes);
  CheckNumber(info.gender(), "gender", 2);
  CheckText(info.mobile(), "mobile", kMaxBasicTextBytes);
  CheckText(info.email(), "email", kMaxBasicTextBytes);
  CheckText(info.phone(), "phone", kMaxBasicTextBytes);
  CheckNumber(info.auth_type(), "authentication type", kMaxAuthType);
  return [this, &info] {
    std::int64_t user = RequireUser(info.account());
    Statement s(
        this,
        "UPDATE user SET name = COALESCE(?2, name), gender = COALESCE(?3, gender), "
        "mobile = COALESCE(?4, mobile), email = COALESCE(?5, email), "
        "phone = COALESCE(?6, phone), auth_type = COALESCE(?7, auth_type) WHERE id = ?1 AND "
        "(name, gender, mobile, email, phone, auth_type) IS NOT (COALESCE(?2, name), "
        "COALESCE(?3, gender), COALESCE(?4, mobile), COALESCE(?5, email), "
        "COALESCE(?6, phone), COALESCE(?7, auth_type))");
    s.Bind(1, user)
        .BindText(2, info.name())
        .BindNumber(3, info.gender())
        .BindText(4, info.mobile())
        .BindText(5, info.email())
        .BindText(6, info.phone())
        .BindNumber(7, info.auth_type())
        .Run();
  };
}

void Store::SetUserDetails(const Details& d, WriteDone done) {
  Write(std::move(done), DetailsStep(d));
}

Store::Step Store::DetailsStep(const Details& d) {
  CheckNumber(d.age(), "age", 200);
  CheckNumber(d.birthday(), "birthday", 99991231);
  CheckNumber(d.blood_type(), "blood type", 9);
  CheckText(d.fax(), "fax", kMaxDetailTextBytes);
  CheckText(d.homepage(), "homepage", kMaxDetailTextBytes);
  CheckText(d.address(), "address", kMaxDetailTextBytes);
  CheckText(d.postcode(), "postcode", kMaxDetailTextBytes);
  CheckText(d.country(), "country", kMaxDetailTextBytes);
  CheckText(d.province(), "province", kMaxDetailTextBytes);
  CheckText(d.city(), "city", kMaxDetailTextBytes);
  CheckText(d.college(), "college", kMaxDetailTextBytes);
  CheckText(d.memo(), "memo", kMaxMemoBytes);
  CheckText(d.position(), "position", kMaxDetailTextBytes);
  CheckNumber(d.type(), "type", 255);
  return [this, &d] {
    std::int64_t user = RequireUser(d.account());
    Statement s(this,
                "UPDATE user SET age = COALESCE(?2, age), birthday = COALESCE(?3, birthday), "
                "blood_type = COALESCE(?4, blood_type), fax = COALESCE(?5, fax), "
                "homepage = COALESCE(?6, homepage), address = COALESCE(?7, address), "
                "postcode = COALESCE(?8, postcode), country = COALESCE(?9, country), "
                "province = COALESCE(?10, province), city = COALESCE(?11, city), "
                "college = COALESCE(?12, college), memo = COALESCE(?13, memo), "
                "position = COALESCE(?14, position), type = COALESCE(?15, type) WHERE id = ?1 AND "
                "(age, birthday, blood_type, fax, homepage, address, postcode, country, province, "
                "city, college, memo, position, type) IS NOT (COALESCE(?2, age), "
                "COALESCE(?3, birthday), COALESCE(?4, blood_type), COALESCE(?5, fax), "
                "COALESCE(?6, homepage), COALESCE(?7, address), COALESCE(?8, postcode), "
                "COALESCE(?9, country), COALESCE(?10, province), COALESCE(?11, city), "
                "COALESCE(?12, college), COALESCE(?13, memo), COALESCE(?14, position), "
                "COALESCE(?15, type))");
    s.Bind(1, user)
        .BindNumber(2, d.age())
        .BindNumber(3, d.birthday())
        .BindNumber(4, d.blood_type())
        .BindText(5, d.fax())
        .BindText(6, d.homepage())
        .BindText(7, d.address())
        .BindText(8, d.postcode())
        .BindText(9, d.country())
        .BindText(10, d.province())
        .BindText(11, d.city())
        .BindText(12, d.college())
        .BindText(13, d.memo())
        .BindText(14, d.position())
        .BindNumber(15, d.type())
        .Run();
  };
}

bool Store::UserExists(const std::string& account) {
  return Read([&] { return !account.empty() && UserId(account).has_value(); });
}

void Store::SetUserAuthType(const std::string& account, int auth_type, WriteDone done) {
  Write(std::move(done), AuthTypeStep(account, auth_type));
}

Store::Step Store::AuthTypeStep(const std::string& account, int auth_type) {
  CheckAuthType(auth_type);
  return [this, &account, auth_type] {
    std::int64_t user = RequireUser(account);
    Statement s(this, "UPDATE user SET auth_type = ?2 WHERE id = ?1 AND auth_type IS NOT ?2");
    s.Bind(1, user).Bind(2, static_cast<std::int64_t>(auth_type)).Run();
  };
}

Store::Step Store::StepOf(const UserWrite& w) {
  switch (w.op_case()) {
    case UserWrite::kAddUser:
      return AddUserStep(w.add_user().account(), w.add_user().auth_type());
    case UserWrite::kMoveUser:
      return MoveUserStep(w.move_user().account(), w.move_user().old_ref(),
                          w.move_user().new_ref());
    case UserWrite::kTakeUserOut:
      return TakeUserOutStep(w.take_user_out().account(), w.take_user_out().ref());
    case UserWrite::kSetAuthType:
      return AuthTypeStep(w.set_auth_type().account(), w.set_auth_type().auth_type());
    case UserWrite::kBasicInfo:
      return BasicInfoStep(w.basic_info());
    case UserWrite::kDetails:
      return DetailsStep(w.details());
    case UserWrite::OP_NOT_SET:
      break;
  }
  throw StoreError(StoreCode::kInvalid, "a write in the task names no operation");
}

void Store::RunTask(const WriteTask& task, TaskDone done) {
  struct Progress {
    std::vector<Step> steps;
    std::size_t done = 0;
    std::exception_ptr error;  // the write that ended the task
  };
  auto progress = std::make_shared<Progress>();
  progress->steps.reserve(static_cast<std::size_t>(task.writes_size()));
  for (const UserWrite& w : task.writes()) {
    try {
      progress->steps.push_back(StepOf(w));
    } catch (...) {
      // Refused before running: the writes before it still run, none after it.
      progress->error = std::current_exception();
      break;
    }
  }
  if (progress->steps.empty()) {
    done(0, progress->error);
    return;
  }
  Write(
      [progress, done = std::move(done)](std::exception_ptr error) {
        // An error here is the batch's own (its commit failed): nothing of the task stayed.
        if (error) {
          done(0, error);
        } else {
          done(progress->done, progress->error);
        }
      },
      [this, progress] {
        for (Step& step : progress->steps) {
          Statement(this, "SAVEPOINT step").Run();
          try {
            step();
          } catch (...) {
            progress->error = std::current_exception();
            sqlite3_exec(db_, "ROLLBACK TO step", nullptr, nullptr, nullptr);
            sqlite3_exec(db_, "RELEASE step", nullptr, nullptr, nullptr);
            return;
          }
          Statement(this, "RELEASE step").Run();
          ++progress->done;
        }
      });
}

std::optional<int> Store::AuthType(const std::string& account) {
  return Read([&]() -> std::optional<int> {
    Statement s(this, "SELECT auth_type FROM user WHERE account = ?1");
    s.Bind(1, account);
    if (s.Step()) return static_cast<int>(s.Int(0));
    return std::nullopt;
  });
}

namespace {

bool DeriveKey(const std::string& password, const unsigned char* salt, int rounds,
               unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, kSaltBytes,
                           rounds, EVP_sha256(), kHashBytes, out) == 1;
}

}  // namespace

void Store::SetPassword(const std::string& account, const std::string& password) {
  if (password.empty()) throw StoreError(StoreCode::kInvalid, "password is empty");
  if (password.size() > kMaxPasswordBytes) {
    throw StoreError(StoreCode::kInvalid,
                     "password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
  }
  unsigned char salt[kSaltBytes];
  unsigned char hash[kHashBytes];
  if (RAND_bytes(salt, kSaltBytes) != 1 || !DeriveKey(password, salt, kPasswordRounds, hash)) {
    throw StoreError(StoreCode::kInternal, "cannot derive the password hash");
  }
  try {
    Write({}, [&] {
      std::int64_t user = RequireUser(account);
      Statement s(this, "UPDATE user SET pw_salt = ?2, pw_hash = ?3, pw_rounds = ?4 WHERE id = ?1");
      s.Bind(1, user)
          .BindBlob(2, salt, kSaltBytes)
          .BindBlob(3, hash, kHashBytes)
          .Bind(4, static_cast<std::int64_t>(kPasswordRounds))
          .Run();
    });
  } catch (...) {
    OPENSSL_cleanse(hash, sizeof hash);
    throw;
  }
  OPENSSL_cleanse(hash, sizeof hash);
}

PasswordCheck Store::CheckPassword(const std::string& account, const std::string& password) {
  std::string salt, hash;
  std::int64_t rounds = 0;
  const std::optional<PasswordCheck> early = Read([&]() -> std::optional<PasswordCheck> {
    Statement s(this, "SELECT pw_salt, pw_hash, pw_rounds FROM user WHERE account = ?1");
    s.Bind(1, account);
    if (!s.Step()) return PasswordCheck::kNoAccount;
    if (s.IsNull(1)) return PasswordCheck::kNoPassword;
    salt = s.Blob(0);
    hash = s.Blob(1);
    rounds = s.Int(2);
    return std::nullopt;
  });
  if (early) return *early;
  if (salt.size() != kSaltBytes || hash.size() != kHashBytes || rounds <= 0) {
    return PasswordCheck::kNoPassword;
  }
  // Derived outside the lock: it is the slow part and touches no shared state.
  unsigned char derived[kHashBytes];
  if (!DeriveKey(password, reinterpret_cast<const unsigned char*>(salt.data()),
                 static_cast<int>(rounds), derived)) {
    throw StoreError(StoreCode::kInternal, "cannot derive the password hash");
  }
  bool match = CRYPTO_memcmp(derived, hash.data(), kHashBytes) == 0;
  OPENSSL_cleanse(derived, sizeof derived);
  return match ? PasswordCheck::kMatch : PasswordCheck::kMismatch;
}

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
