// gateway/store/modem_farm.h - routing and per-modem limits for the SQL
// store: which queued message a modem may take, and the counters its
// limits read, all inside the claim's transaction.
//
// A claim for a registered modem first locks the modem's profile row
// (an UPDATE of it; on PostgreSQL that row lock is held to the commit), so
// every claim of one modem name, from any host, runs one after the other.
// The usage rows it reads and increments (keyed by modem, kind and the
// window's start) are only ever changed under that lock, so the counts stay
// exact however many hosts share the database: no read-modify-write of a
// counter can interleave with another. On SQLite the write transaction
// excludes every other writer anyway.
//
// A modem may take, in this order: an urgent message (within its
// high_per_hour), then the oldest due normal one, from the lanes "named
// for this modem", "for one of its tags" and "for any modem". A message for
// any modem or a tag waits a moment for another eligible modem that sent
// less recently and is idle, so the least recently used modem takes it.
// A modem that is outside its hours, within its gap or at a limit claims
// nothing: the message stays queued (another modem may take it) and its
// history says why once.
//
// Threading: functions run on the store's connection under its lock.
#ifndef REVIRI_GATEWAY_STORE_MODEM_FARM_H_
#define REVIRI_GATEWAY_STORE_MODEM_FARM_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gateway/store/sql_store.h"

namespace reviri::gateway::sql::farm {

using HistoryWriter = std::function<void(std::int64_t id, const std::string& event, const std::string& detail)>;

struct Choice {
  bool registered = false;  // false: the modem has no profile; any message will do
  std::optional<std::int64_t> id;
};
// Inside the claim transaction: the message `modem` takes now, with its
// parts already counted against the modem's windows.
Choice choose(Connection& c, const std::string& modem, std::int64_t now, const HistoryWriter& history);

// SQL condition that an outbox row may go to the modem named by
// parameter $`param` (for rows found by other means, e.g. expired leases).
std::string eligibleFor(int param);

// `modem` is down or stopped: no longer idle.
void unavailable(Connection& c, const std::string& modem);

// A message was sent on `modem` at `now`: its gap runs from here.
void sent(Connection& c, const std::string& modem, std::int64_t now);

// When `modem` may next find work (ms since the epoch), or empty when none
// waits for it; `registered` false when it has no profile.
struct NextClaim {
  bool registered = false;
  std::optional<std::int64_t> atMs;
};
NextClaim nextClaim(Connection& c, const std::string& modem, std::int64_t now);

void registerModems(Connection& c, const std::vector<Store::ModemProfile>& modems);
bool setLimits(Connection& c, const std::string& modem, const ModemLimits& limits);
std::vector<Store::ModemUsage> usage(Connection& c, std::int64_t now);
bool knownModem(Connection& c, const std::string& modem);
bool knownTag(Connection& c, const std::string& tag);

}  // namespace reviri::gateway::sql::farm

#endif  // REVIRI_GATEWAY_STORE_MODEM_FARM_H_
