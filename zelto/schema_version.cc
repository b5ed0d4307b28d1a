#include "zelto/schema_version.h"

#include <sqlite3.h>

#include <cstdint>

#include "zelto/store.h"

namespace zelto {
namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw StoreError(StoreCode::kInternal, what + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = std::string("database error: ") + (error ? error : "unknown");
    sqlite3_free(error);
    throw StoreError(StoreCode::kInternal, message);
  }
}

std::int64_t QueryInt(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) Fail(db, "database error");
  int rc = sqlite3_step(stmt);
  std::int64_t value = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(db, "database error");
  return value;
}

}  // namespace

void ApplySchema(sqlite3* db, const std::string& path, const char* schema) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    const std::int64_t version = QueryInt(db, "PRAGMA user_version");
    if (version == 0) {
      const std::int64_t tables =
          QueryInt(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
      const std::int64_t ours =
          QueryInt(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'user'");
      if (tables > 0 && ours == 0) {
        throw StoreError(StoreCode::kInternal,
                         "database " + path + " belongs to another program: not opened");
      }
    } else if (version != kSchemaVersion) {
      throw StoreError(StoreCode::kInternal,
                       "database " + path + " has schema version " + std::to_string(version) +
                           ", which this zeltod (schema version " + std::to_string(kSchemaVersion) +
                           ") does not know: not opened, nothing changed");
    }
    Exec(db, schema);
    Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace zelto
