// What the store's files share: the prepared-statement wrapper, the marker of a field left
// unchanged, message helpers and the checks of a write's arguments.
#ifndef NORVANE_ZELTO_STORE_INTERNAL_H_
#define NORVANE_ZELTO_STORE_INTERNAL_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "zelto/store.h"

namespace zelto {

inline constexpr const char* kNull = "ZELTO_NULL";

inline std::string Quote(const std::string& text) { return "\"" + text + "\""; }

inline std::string PathForMessage(const std::string& path) { return path.empty() ? "(top)" : path; }

// Throw StoreError(kInvalid) when a value does not fit its field; kNull and -1 (left
// unchanged) always fit.
void CheckText(const std::string& value, const char* field, std::size_t max_bytes);
void CheckNumber(int value, const char* field, int max);
void CheckAccount(const std::string& account);
void CheckAuthType(int type);

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

}  // namespace zelto

#endif  // NORVANE_ZELTO_STORE_INTERNAL_H_
