// gateway/store/postgres_store.cpp - the PostgreSQL connection under the
// store, through libpq, and the LISTEN connection that wakes workers.
#include "gateway/store/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "gateway/store/sql_store.h"

namespace reviri::gateway {
namespace {

constexpr const char* kChannel = "reviri_outbox";
constexpr const char* kInboxChannel = "reviri_inbox";

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The URL with any password blanked, for messages.
std::string withoutPassword(const std::string& url) {
  const auto scheme = url.find("://");
  const auto at = url.find('@');
  if (scheme == std::string::npos || at == std::string::npos) return url;
  const auto colon = url.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon) + ":***" + url.substr(at);
}

PGconn* connect(const std::string& url) {
  PGconn* conn = PQconnectdb(url.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string why = trimmed(PQerrorMessage(conn));
    PQfinish(conn);
    throw StoreError("cannot connect to " + withoutPassword(url) + ": " + why);
  }
  return conn;
}

class PostgresConnection final : public sql::Connection {
 public:
  PostgresConnection(std::string url, bool serverClock)
      : url_(std::move(url)), conn_(connect(url_)), serverClock_(serverClock) {
    exec("SET client_min_messages = warning", {});
  }
  ~PostgresConnection() override {
    stopListener();
    PQfinish(conn_);
  }

  // A connection found broken is re-established once (the server
  // restarted); the statement fails otherwise.
  sql::Result exec(const std::string& text, const std::vector<sql::Param>& params) override {
    if (PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
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

  void script(const std::string& sql) override {
    PGresult* r = PQexec(conn_, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    if (!ok) throw StoreError("PostgreSQL: " + trimmed(PQerrorMessage(conn_)));
  }

  void beginWrite() override { exec("BEGIN", {}); }
  const char* skipLocked() const override { return " FOR UPDATE SKIP LOCKED"; }
  // clock_timestamp(), not now(): a transaction's now() is its start.
  const char* serverNowSql() const override {
    return serverClock_ ? "CAST(floor(extract(epoch FROM clock_timestamp()) * 1000) AS BIGINT)" : nullptr;
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
  std::string resyncIds(const std::string& table) const override {
    return "SELECT setval(pg_get_serial_sequence('" + table + "', 'id'), (SELECT coalesce(max(id), 0) + 1 FROM " +
           table + "), false);";
  }

 private:
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
      PGconn* conn = PQconnectdb(url_.c_str());
      PGresult* r =
          PQstatus(conn) == CONNECTION_OK ? PQexec(conn, "LISTEN reviri_outbox; LISTEN reviri_inbox") : nullptr;
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
          (std::string(n->relname) == kInboxChannel ? inbox : work) = true;
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

  void stopListener() {
    if (!listener_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    listener_.join();
    ::close(wake_);
    wake_ = -1;
  }

  std::string url_;
  PGconn* conn_;
  bool serverClock_;
  std::thread listener_;
  std::function<void()> onNewWork_, onInbox_;  // set while the listener is stopped
  std::atomic<bool> stopping_{false};
  int wake_ = -1;
};

}  // namespace

std::unique_ptr<sql::Connection> openPostgresConnection(const PostgresOptions& options) {
  return std::make_unique<PostgresConnection>(options.url, options.serverClock);
}

std::unique_ptr<Store> openPostgresStore(const PostgresOptions& options) {
  return sql::makeSqlStore(std::make_unique<PostgresConnection>(options.url, options.serverClock),
                           std::make_unique<PostgresConnection>(options.url, options.serverClock), options.now);
}

}  // namespace reviri::gateway
