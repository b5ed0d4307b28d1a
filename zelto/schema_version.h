// The schema version a zeltod database records (SQLite's user_version), so that a server
// never runs on a database laid out by another version of itself.
#ifndef NORVANE_ZELTO_SCHEMA_VERSION_H_
#define NORVANE_ZELTO_SCHEMA_VERSION_H_

#include <string>

struct sqlite3;

namespace zelto {

// The layout this server reads and writes. Raise it with any change an older server could
// not run on.
inline constexpr int kSchemaVersion = 1;

// In one transaction: checks the recorded version, runs `schema` (idempotent CREATE ... IF
// NOT EXISTS statements) and records kSchemaVersion. A database that records no version is
// new when it holds no table, and one written before versions were recorded when it holds
// this server's tables. Throws StoreError, with nothing changed, for any other version and
// for a database of some other program.
void ApplySchema(sqlite3* db, const std::string& path, const char* schema);

}  // namespace zelto

#endif  // NORVANE_ZELTO_SCHEMA_VERSION_H_
