// gateway/store/postgres_store.h - the store on a PostgreSQL server, shared
// by gateways on several hosts.
//
// Claims take the oldest due row with FOR UPDATE SKIP LOCKED, so concurrent
// workers on any host never wait for each other's rows. Every enqueue sends
// NOTIFY reviri_outbox in its transaction; watchNewWork() listens on a
// connection of its own, so idle workers on every host wake as soon as a
// message is committed anywhere.
//
// Connecting times out (connect_timeout, 5 s) and so do statements
// (statement_timeout, 30 s) unless the URL says otherwise; a connection
// found broken is re-established, and when that fails the store answers
// StoreError at once for a second rather than keep every caller waiting
// for the server in turn.
//
// Threading: one connection serialised by a mutex for the store's methods;
// the listener runs on a thread of its own. Safe from any thread.
#ifndef REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_
#define REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_

#include <chrono>
#include <memory>
#include <string>

#include "gateway/store/store.h"

namespace reviri::gateway {

namespace sql {
class Connection;
}

struct PostgresOptions {
  std::string url;  // postgresql://user@host:port/db?... or a key=value conninfo
  // This host's clock. Leases, due times and expiry are taken from the
  // server's clock instead, so that a host whose clock is off cannot take
  // over another's sends; `now` counts for them only with serverClock off
  // (tests that move time on). It also times the reconnect pause.
  Clock now = systemNowMs;
  bool serverClock = true;
  // Unless the URL sets its own connect_timeout: how long connecting may take.
  std::chrono::seconds connectTimeout{5};
  // Unless the URL's options or the server's settings give one: how long a
  // statement may take (waiting for locks included).
  std::chrono::milliseconds statementTimeout{30000};
  // After a failed reconnect, calls fail at once (StoreError) for this long
  // instead of each waiting for the server again.
  std::chrono::milliseconds reconnectPause{1000};
};

// Connects and migrates; throws StoreError naming what failed (the password
// in the URL is never repeated).
std::unique_ptr<Store> openPostgresStore(const PostgresOptions& options);

// One connection to the server, for a store made with sql::makeSqlStore
// (tests put a connection that fails on purpose in front of it).
std::unique_ptr<sql::Connection> openPostgresConnection(const PostgresOptions& options);

// `conninfo` (a URL or key=value pairs) with every password shown as ***:
// user:PASSWORD@, ?password= and &password= in a URL, password=... (quoted
// or not) in key=value pairs, and sslpassword in both.
std::string maskPassword(const std::string& conninfo);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_
