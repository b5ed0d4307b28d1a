#include "zelto/store.h"

#include <sqlite3.h>

#include "zelto/schema_version.h"
#include "zelto/store_internal.h"

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

}  // namespace

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
  // Every write of the batch not refused on its own gets `error`: nothing of the batch is
  // committed.
  auto fail_all = [&](std::exception_ptr error) {
    for (PendingWrite& w : batch) {
      if (!w.error) w.error = error;
    }
  };
  auto storage_error = [&](const char* what) {
    return std::make_exception_ptr(StoreError(
        StoreCode::kInternal, std::string("数据库错误 (") + what + "): " + sqlite3_errmsg(db_)));
  };
  try {
    Statement(this, "BEGIN IMMEDIATE").Run();
  } catch (...) {
    fail_all(std::current_exception());
    return;
  }
  const long long before = sqlite3_total_changes64(db_);
  bool lost = false;  // the batch failed as a whole
  for (PendingWrite& w : batch) {
    try {
      Statement(this, "SAVEPOINT w").Run();
    } catch (...) {
      fail_all(std::current_exception());
      lost = true;
      break;
    }
    try {
      w.body();
    } catch (...) {
      w.error = std::current_exception();
    }
    // A storage error (disk full, I/O) may have rolled the whole transaction back: the
    // writes before this one are gone, and a write after it would run, and commit, on its
    // own. The batch ends here, failed as a whole.
    if (sqlite3_get_autocommit(db_)) {
      if (!w.error) w.error = storage_error("事务已被回滚");
      fail_all(w.error);
      return;
    }
    if (w.error && sqlite3_exec(db_, "ROLLBACK TO w", nullptr, nullptr, nullptr) != SQLITE_OK) {
      fail_all(storage_error("回滚到保存点"));
      lost = true;
      break;
    }
    // Prepared once: a batch releases as many savepoints as it has writes.
    sqlite3_stmt* release = Prepare("RELEASE w");
    const int released = sqlite3_step(release);
    sqlite3_reset(release);
    if (released != SQLITE_DONE || sqlite3_get_autocommit(db_)) {
      fail_all(storage_error("释放保存点"));
      lost = true;
      break;
    }
  }
  if (!lost) {
    try {
      // Nothing changed: end the transaction without writing to the log at all.
      if (sqlite3_total_changes64(db_) == before) {
        Statement(this, "ROLLBACK").Run();
      } else {
        Statement(this, "COMMIT").Run();
      }
    } catch (...) {
      fail_all(std::current_exception());
    }
  }
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Store::Store(const std::string& path, StoreOptions options) {
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
    if (options.max_pages > 0) {
      const std::string limit = "PRAGMA max_page_count=" + std::to_string(options.max_pages);
      Exec(limit.c_str());
    }
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

}  // namespace zelto
