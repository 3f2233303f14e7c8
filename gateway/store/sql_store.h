// gateway/store/sql_store.h - the store's logic written once over a small
// SQL connection interface, which each engine (SQLite, PostgreSQL)
// implements.
//
// Statements use $1, $2, ... placeholders and travel with their values as
// parameters; no value is ever pasted into SQL text.
//
// Threading: SqlStore is safe from any thread. Writes of concurrent threads
// share commits (group_commit.h) on the writing connection; reads take the
// reading connection's mutex. A connection is used by one thread at a time.
#ifndef REVIRI_GATEWAY_STORE_SQL_STORE_H_
#define REVIRI_GATEWAY_STORE_SQL_STORE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gateway/store/store.h"

namespace reviri::gateway::sql {

using Param = std::variant<std::monostate, std::int64_t, std::string>;

// Rows of a result as text (NULL as nullopt), with the count of changed rows.
class Result {
 public:
  std::vector<std::vector<std::optional<std::string>>> rows;
  std::int64_t affected = 0;

  struct Row {
    const std::vector<std::optional<std::string>>* cells;
    std::int64_t integer(int column) const {
      const auto& cell = (*cells)[static_cast<std::size_t>(column)];
      return cell ? std::stoll(*cell) : 0;
    }
    std::optional<std::int64_t> optionalInteger(int column) const {
      if (!(*cells)[static_cast<std::size_t>(column)]) return std::nullopt;
      return integer(column);
    }
    std::string text(int column) const { return (*cells)[static_cast<std::size_t>(column)].value_or(""); }
  };
  int size() const { return static_cast<int>(rows.size()); }
  Row row(int i) const { return {&rows[static_cast<std::size_t>(i)]}; }
};

class Connection {
 public:
  virtual ~Connection() = default;
  // Runs one statement; throws StoreError saying what failed.
  virtual Result exec(const std::string& sql, const std::vector<Param>& params) = 0;
  // Runs several statements without parameters (migrations).
  virtual void script(const std::string& sql) = 0;
  // Opens a transaction that will write ("BEGIN IMMEDIATE" on SQLite).
  virtual void beginWrite() = 0;
  // What follows a claim's row choice so that concurrent claims skip each
  // other's rows ("" where a write transaction excludes others anyway).
  virtual const char* skipLocked() const = 0;
  // The type of an id column that numbers itself.
  virtual const char* idColumnType() const = 0;
  // The server's clock in milliseconds since the epoch as an SQL
  // expression, or null where the store's injected clock is the only one.
  virtual const char* serverNowSql() const { return nullptr; }
  // Called inside the transaction that queued a message.
  virtual void announceNewWork() {}
  // Keeps other gateways from migrating at the same time (inside the transaction).
  virtual void lockForMigration() {}
  // See Store::watchNewWork.
  virtual void watchNewWork(std::function<void()> callback) { (void)callback; }
  // Called inside the transaction that stored an incoming message.
  virtual void announceInbox() {}
  // See Store::watchInbox.
  virtual void watchInbox(std::function<void()> callback) { (void)callback; }
  // Sends an event to every watcher once the transaction commits (inside
  // the transaction); false where the engine cannot, and the store hands
  // its events to its own watcher after the commit instead.
  virtual bool announceEvent(const std::string& event, const std::string& body) {
    (void)event;
    (void)body;
    return false;
  }
  // See Store::watchEvents.
  virtual void watchEvents(std::function<void(const std::string&, const std::string&)> callback) { (void)callback; }
  // What a migration runs after copying rows with their ids into a new
  // `table`, so that the next id follows them ("" where ids follow the
  // largest one anyway).
  virtual std::string resyncIds(const std::string& table) const {
    (void)table;
    return "";
  }
};

// Builds a parameter list: integers, strings, optionals, nullptr.
class Params {
 public:
  template <typename... Args>
  explicit Params(const Args&... args) {
    (add(args), ...);
  }
  const std::vector<Param>& values() const { return values_; }

 private:
  template <typename T>
    requires std::is_integral_v<T>
  void add(T value) {
    values_.emplace_back(static_cast<std::int64_t>(value));
  }
  void add(const std::string& value) { values_.emplace_back(value); }
  void add(const char* value) { values_.emplace_back(std::string(value)); }
  void add(std::nullptr_t) { values_.emplace_back(std::monostate{}); }
  template <typename T>
  void add(const std::optional<T>& value) {
    if (value) {
      add(*value);
    } else {
      add(nullptr);
    }
  }
  std::vector<Param> values_;
};

// The store over a writing connection and, when not null, a second one for
// reads (listings, lookups), so that those never wait behind the workers'
// writes, and a third for counts (metrics), so that lookups never wait
// behind a count of the whole outbox; migrates the database when made.
std::unique_ptr<Store> makeSqlStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader,
                                    Clock now, std::unique_ptr<Connection> stats = nullptr);

// The schema version the migrations bring a database to.
int schemaVersion();

}  // namespace reviri::gateway::sql

#endif  // REVIRI_GATEWAY_STORE_SQL_STORE_H_
