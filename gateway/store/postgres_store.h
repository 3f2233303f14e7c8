// gateway/store/postgres_store.h - the store on a PostgreSQL server, shared
// by gateways on several hosts.
//
// Claims take the oldest due row with FOR UPDATE SKIP LOCKED, so concurrent
// workers on any host never wait for each other's rows. Every enqueue sends
// NOTIFY reviri_outbox in its transaction; watchNewWork() listens on a
// connection of its own, so idle workers on every host wake as soon as a
// message is committed anywhere.
//
// Threading: one connection serialised by a mutex for the store's methods;
// the listener runs on a thread of its own. Safe from any thread.
#ifndef REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_
#define REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_

#include <memory>
#include <string>

#include "gateway/store/store.h"

namespace reviri::gateway {

struct PostgresOptions {
  std::string url;  // postgresql://user@host:port/db?...
  // This host's clock. Leases, due times and expiry are taken from the
  // server's clock instead, so that a host whose clock is off cannot take
  // over another's sends; `now` counts only with serverClock off (tests
  // that move time on).
  Clock now = systemNowMs;
  bool serverClock = true;
};

// Connects and migrates; throws StoreError naming what failed (the password
// in the URL is never repeated).
std::unique_ptr<Store> openPostgresStore(const PostgresOptions& options);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_POSTGRES_STORE_H_
