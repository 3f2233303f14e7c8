// gateway/store/sqlite_store.h - the store on one SQLite file, for one
// machine.
//
// The database runs in WAL mode with synchronous=NORMAL by default: a commit
// survives the gateway being killed (the WAL is in the file system before
// the answer goes out) but the last commits before a power cut may be lost;
// `synchronous = "FULL"` makes every commit reach the disk, at about a tenth
// of the ingest rate (see the README's gateway section). Migrations up to
// the current schema are applied when the store opens.
//
// Threading: one connection serialised by a mutex; safe from any thread.
// Other processes may share the file (the busy timeout lets them take turns).
#ifndef REVIRI_GATEWAY_STORE_SQLITE_STORE_H_
#define REVIRI_GATEWAY_STORE_SQLITE_STORE_H_

#include <memory>
#include <string>

#include "gateway/store/store.h"

namespace reviri::gateway {

struct SqliteOptions {
  std::string path;                   // the file; ":memory:" for a private one
  std::string synchronous = "NORMAL"; // NORMAL or FULL
  Clock now = systemNowMs;
};

// Opens (creating when missing) and migrates; throws StoreError naming the
// file and what failed.
std::unique_ptr<Store> openSqliteStore(const SqliteOptions& options);

// The schema version the migrations bring a database to.
int sqliteSchemaVersion();

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_SQLITE_STORE_H_
