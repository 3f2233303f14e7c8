// gateway/store/sqlite_store.h - the store on one SQLite file, for one
// machine.
//
// The database runs in WAL mode with synchronous=FULL by default: every
// commit reaches the disk before the store returns, so an accepted message
// survives a power cut too. Writes of concurrent threads share commits, so
// this costs little under load (see the README's gateway section);
// `synchronous = "NORMAL"` survives the process being killed but may lose
// the last commits to a power cut. Migrations up to the current schema are
// applied when the store opens.
//
// Threading: safe from any thread; a writing connection whose commits are
// shared (group_commit.h) and a reading one. Other processes may share
// the file (the busy timeout lets them take turns).
#ifndef REVIRI_GATEWAY_STORE_SQLITE_STORE_H_
#define REVIRI_GATEWAY_STORE_SQLITE_STORE_H_

#include <memory>
#include <string>

#include "gateway/store/store.h"

namespace reviri::gateway {

namespace sql {
class Connection;
}

struct SqliteOptions {
  std::string path;                   // the file; ":memory:" for a private one
  std::string synchronous = "FULL";  // FULL or NORMAL
  Clock now = systemNowMs;
};

// Opens (creating when missing) and migrates; throws StoreError naming the
// file and what failed.
std::unique_ptr<Store> openSqliteStore(const SqliteOptions& options);

// The schema version the migrations bring a database to.
int sqliteSchemaVersion();

// One connection to the file, for a store made with sql::makeSqlStore
// (tests put a connection that fails on purpose in front of it).
std::unique_ptr<sql::Connection> openSqliteConnection(const SqliteOptions& options);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_SQLITE_STORE_H_
