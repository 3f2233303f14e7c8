// gateway/store/postgres_store.cpp - the PostgreSQL connection under the
// store, through libpq, and the LISTEN connection that wakes workers.
#include "gateway/store/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <thread>

#include "gateway/store/sql_store.h"

namespace reviri::gateway {
namespace {

constexpr const char* kChannel = "reviri_outbox";
constexpr const char* kInboxChannel = "reviri_inbox";
constexpr const char* kEventChannel = "reviri_events";

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool isUrl(const std::string& conninfo) {
  return conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
}

// user:PASSWORD@ in a URL's authority (before the path or query).
void maskUserInfo(std::string& url) {
  const auto start = url.find("://") + 3;
  const auto end = std::min(url.find_first_of("/?", start), url.size());
  const auto at = url.rfind('@', end);  // the last: a password may hold '@'
  if (at == std::string::npos || at < start) return;
  const auto colon = url.find(':', start);
  if (colon < at) url.replace(colon + 1, at - colon - 1, "***");
}

// Where the value of `key` ends: a quoted value at its closing quote, else
// at the next separator.
std::size_t valueEnd(const std::string& text, std::size_t from, bool url) {
  if (!url && from < text.size() && text[from] == '\'') {
    for (auto i = from + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '\'') {
        return i + 1;
      }
    }
    return text.size();
  }
  return std::min(text.find_first_of(url ? "&" : " \t\n\r\f\v", from), text.size());
}

// The value after "KEY=" (spaces allowed around '=' outside URLs).
void maskKey(std::string& text, const std::string& key, bool url) {
  const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const bool boundary = at == 0 || isSpace(text[at - 1]) || (url && (text[at - 1] == '?' || text[at - 1] == '&'));
    if (!boundary) continue;
    auto value = at + key.size();
    while (!url && value < text.size() && isSpace(text[value])) ++value;
    if (value >= text.size() || text[value] != '=') continue;
    ++value;
    while (!url && value < text.size() && isSpace(text[value])) ++value;
    text.replace(value, valueEnd(text, value, url) - value, "***");
  }
}

// Connects with the default connect_timeout, which the URL's own overrides
// (libpq: values before an expanded dbname give way to the conninfo's).
PGconn* connectWithTimeout(const std::string& conninfo, std::chrono::seconds timeout) {
  const std::string seconds = std::to_string(timeout.count());
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {seconds.c_str(), conninfo.c_str(), nullptr};
  return PQconnectdbParams(keywords, values, 1);
}

PGconn* connect(const PostgresOptions& options) {
  PGconn* conn = connectWithTimeout(options.url, options.connectTimeout);
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string why = trimmed(PQerrorMessage(conn));
    PQfinish(conn);
    throw StoreError("cannot connect to " + maskPassword(options.url) + ": " + why);
  }
  return conn;
}

// Whether the connection's options (-c ...) set a statement_timeout.
bool optionsSetStatementTimeout(PGconn* conn) {
  PQconninfoOption* info = PQconninfo(conn);
  bool found = false;
  for (auto* o = info; o && o->keyword; ++o) {
    if (std::string(o->keyword) == "options" && o->val && std::string(o->val).find("statement_timeout") != std::string::npos) {
      found = true;
    }
  }
  PQconninfoFree(info);
  return found;
}

class PostgresConnection final : public sql::Connection {
 public:
  explicit PostgresConnection(const PostgresOptions& options) : options_(options), conn_(connect(options_)) {
    try {
      setUpSession();
    } catch (...) {
      PQfinish(conn_);
      throw;
    }
  }
  ~PostgresConnection() override {
    stopListener();
    PQfinish(conn_);
  }

  // A connection found broken is re-established (the server restarted);
  // the statement fails otherwise.
  sql::Result exec(const std::string& text, const std::vector<sql::Param>& params) override {
    if (PQstatus(conn_) != CONNECTION_OK) reconnect();
    return run(text, params);
  }

  void script(const std::string& sql) override {
    PGresult* r = PQexec(conn_, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) throw StoreError("PostgreSQL: " + trimmed(PQerrorMessage(conn_)));
  }

 private:
  sql::Result run(const std::string& text, const std::vector<sql::Param>& params) {
    std::vector<std::string> values(params.size());
    std::vector<const char*> pointers(params.size(), nullptr);
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* n = std::get_if<std::int64_t>(&params[i])) {
        values[i] = std::to_string(*n);
      } else if (const auto* s = std::get_if<std::string>(&params[i])) {
        values[i] = *s;
      } else {
        continue;  // NULL
      }
      pointers[i] = values[i].c_str();
    }
    PGresult* r = PQexecParams(conn_, text.c_str(), static_cast<int>(params.size()), nullptr, pointers.data(), nullptr,
                               nullptr, 0);
    const auto status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      PQclear(r);
      throw StoreError("PostgreSQL: " + trimmed(PQerrorMessage(conn_)));
    }
    sql::Result result;
    for (int row = 0; row < PQntuples(r); ++row) {
      std::vector<std::optional<std::string>> cells;
      for (int c = 0; c < PQnfields(r); ++c) {
        if (PQgetisnull(r, row, c)) {
          cells.emplace_back(std::nullopt);
        } else {
          cells.emplace_back(std::string(PQgetvalue(r, row, c), static_cast<std::size_t>(PQgetlength(r, row, c))));
        }
      }
      result.rows.push_back(std::move(cells));
    }
    const char* affected = PQcmdTuples(r);
    result.affected = affected && *affected ? std::stoll(affected) : 0;
    PQclear(r);
    return result;
  }

  // The session's settings, after every (re)connect.
  void setUpSession() {
    run("SET client_min_messages = warning", {});
    // The server's or the role's own statement_timeout stays, and so does
    // one from the URL's options.
    if (!optionsSetStatementTimeout(conn_) && run("SHOW statement_timeout", {}).row(0).text(0) == "0") {
      run("SELECT set_config('statement_timeout', $1, false)",
          {std::to_string(options_.statementTimeout.count()) + "ms"});
    }
  }

 public:
  void beginWrite() override { exec("BEGIN", {}); }
  const char* skipLocked() const override { return " FOR UPDATE SKIP LOCKED"; }
  // clock_timestamp(), not now(): a transaction's now() is its start.
  const char* serverNowSql() const override {
    return options_.serverClock ? "CAST(floor(extract(epoch FROM clock_timestamp()) * 1000) AS BIGINT)" : nullptr;
  }
  const char* idColumnType() const override { return "BIGSERIAL PRIMARY KEY"; }
  void announceNewWork() override { exec("SELECT pg_notify($1, '')", {std::string(kChannel)}); }
  void lockForMigration() override { exec("SELECT pg_advisory_xact_lock(7265766972)", {}); }

  void watchNewWork(std::function<void()> callback) override {
    stopListener();
    onNewWork_ = std::move(callback);
    startListener();
  }
  void announceInbox() override { exec("SELECT pg_notify($1, '')", {std::string(kInboxChannel)}); }
  void watchInbox(std::function<void()> callback) override {
    stopListener();
    onInbox_ = std::move(callback);
    startListener();
  }
  // The payload is "event\nbody".
  bool announceEvent(const std::string& event, const std::string& body) override {
    exec("SELECT pg_notify($1, $2)", {std::string(kEventChannel), event + "\n" + body});
    return true;
  }
  // Swapped in place once the listener runs: a caller that stops watching
  // (the API, as it stops) must not make the listener reconnect and call
  // the other callbacks while their owners go away.
  void watchEvents(std::function<void(const std::string&, const std::string&)> callback) override {
    if (listener_.joinable()) {
      std::lock_guard lock(eventMu_);
      onEvent_ = std::move(callback);
      return;
    }
    onEvent_ = std::move(callback);
    startListener();
  }
  std::string resyncIds(const std::string& table) const override {
    return "SELECT setval(pg_get_serial_sequence('" + table + "', 'id'), (SELECT coalesce(max(id), 0) + 1 FROM " +
           table + "), false);";
  }

 private:
  // Re-establishes a broken connection, at most once per reconnectPause:
  // meanwhile callers fail at once instead of each waiting for a server
  // that did not answer a moment ago.
  void reconnect() {
    if (options_.now() < nextReconnectMs_) {
      throw StoreError("PostgreSQL at " + maskPassword(options_.url) +
                       " is unreachable (a reconnect just failed; trying again shortly)");
    }
    PQreset(conn_);
    if (PQstatus(conn_) != CONNECTION_OK) {
      nextReconnectMs_ = options_.now() + options_.reconnectPause.count();
      throw StoreError("cannot reconnect to " + maskPassword(options_.url) + ": " + trimmed(PQerrorMessage(conn_)));
    }
    nextReconnectMs_ = 0;
    setUpSession();
  }

  // One listener for both channels; set its callbacks before starting it.
  void startListener() {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) throw StoreError("eventfd failed");
    stopping_ = false;
    listener_ = std::thread([this] { listen(); });
  }
  void notifyAll() {
    if (onNewWork_) onNewWork_();
    if (onInbox_) onInbox_();
  }

  // The LISTEN connection: reconnects (every second) when it is lost.
  void listen() {
    while (!stopping_) {
      PGconn* conn = connectWithTimeout(options_.url, options_.connectTimeout);
      PGresult* r =
          PQstatus(conn) == CONNECTION_OK ? PQexec(conn, "LISTEN reviri_outbox; LISTEN reviri_inbox; LISTEN reviri_events") : nullptr;
      const bool listening = r && PQresultStatus(r) == PGRES_COMMAND_OK;
      PQclear(r);
      if (listening) notifyAll();  // whatever came while nobody listened
      while (listening && !stopping_) {
        pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, 60000) < 0) continue;
        if (fds[1].revents) break;
        if (!PQconsumeInput(conn)) break;  // the server went away
        bool work = false, inbox = false;
        while (PGnotify* n = PQnotifies(conn)) {
          if (std::string(n->relname) == kEventChannel) {
            deliverEvent(n->extra);
          } else {
            (std::string(n->relname) == kInboxChannel ? inbox : work) = true;
          }
          PQfreemem(n);
        }
        if (work && onNewWork_) onNewWork_();
        if (inbox && onInbox_) onInbox_();
      }
      PQfinish(conn);
      if (!stopping_) {
        pollfd wait{wake_, POLLIN, 0};
        ::poll(&wait, 1, 1000);
      }
    }
  }

  void deliverEvent(const std::string& payload) {
    const auto newline = payload.find('\n');
    std::lock_guard lock(eventMu_);
    if (onEvent_ && newline != std::string::npos) onEvent_(payload.substr(0, newline), payload.substr(newline + 1));
  }

  void stopListener() {
    if (!listener_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    listener_.join();
    ::close(wake_);
    wake_ = -1;
  }

  const PostgresOptions options_;
  PGconn* conn_;
  std::int64_t nextReconnectMs_ = 0;  // before this, reconnect() fails at once
  std::thread listener_;
  std::function<void()> onNewWork_, onInbox_;  // set while the listener is stopped
  std::function<void(const std::string&, const std::string&)> onEvent_;  // under eventMu_ once listening
  std::mutex eventMu_;
  std::atomic<bool> stopping_{false};
  int wake_ = -1;
};

}  // namespace

std::unique_ptr<sql::Connection> openPostgresConnection(const PostgresOptions& options) {
  return std::make_unique<PostgresConnection>(options);
}

std::unique_ptr<Store> openPostgresStore(const PostgresOptions& options) {
  return sql::makeSqlStore(std::make_unique<PostgresConnection>(options), std::make_unique<PostgresConnection>(options),
                           options.now, std::make_unique<PostgresConnection>(options));
}

std::string maskPassword(const std::string& conninfo) {
  std::string masked = conninfo;
  const bool url = isUrl(masked);
  if (url) maskUserInfo(masked);
  maskKey(masked, "password", url);
  maskKey(masked, "sslpassword", url);
  return masked;
}

}  // namespace reviri::gateway
