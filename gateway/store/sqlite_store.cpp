// gateway/store/sqlite_store.cpp - the SQLite connection under the store.
//
// Statements are prepared once per connection ($N placeholders become ?N)
// and values are bound by position.
#include "gateway/store/sqlite_store.h"

#include <sqlite3.h>

#include <unordered_map>

#include "gateway/store/sql_store.h"

namespace reviri::gateway {
namespace {

// "$12" -> "?12": SQLite reads $NAME as a named parameter.
std::string numberedPlaceholders(const std::string& sql) {
  std::string out = sql;
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9') out[i] = '?';
  }
  return out;
}

class SqliteConnection final : public sql::Connection {
 public:
  explicit SqliteConnection(const SqliteOptions& options) {
    if (options.synchronous != "NORMAL" && options.synchronous != "FULL") {
      throw StoreError("synchronous must be NORMAL or FULL, not \"" + options.synchronous + "\"");
    }
    if (sqlite3_open_v2(options.path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw StoreError("cannot open the database " + options.path + ": " + why);
    }
    try {
      sqlite3_busy_timeout(db_, 10000);
      script("PRAGMA journal_mode=WAL");
      script("PRAGMA synchronous=" + options.synchronous);  // one of two fixed words, checked above
      script("PRAGMA foreign_keys=ON");
    } catch (...) {
      close();
      throw;
    }
  }
  ~SqliteConnection() override { close(); }

  sql::Result exec(const std::string& text, const std::vector<sql::Param>& params) override {
    sqlite3_stmt* stmt = prepare(text);
    sql::Result result;
    try {
      for (std::size_t i = 0; i < params.size(); ++i) bind(stmt, static_cast<int>(i + 1), params[i]);
      int rc;
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) result.rows.push_back(row(stmt));
      if (rc != SQLITE_DONE) throw StoreError(std::string("SQLite: ") + sqlite3_errmsg(db_));
    } catch (...) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      throw;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    result.affected = sqlite3_changes(db_);
    return result;
  }

  void script(const std::string& sql) override {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string why = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw StoreError("SQLite: " + why);
    }
  }

  void beginWrite() override { script("BEGIN IMMEDIATE"); }
  const char* skipLocked() const override { return ""; }
  const char* idColumnType() const override { return "INTEGER PRIMARY KEY"; }

 private:
  void close() {
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    cache_.clear();
    sqlite3_close(db_);
  }

  sqlite3_stmt* prepare(const std::string& text) {
    auto found = cache_.find(text);
    if (found != cache_.end()) return found->second;
    sqlite3_stmt* stmt = nullptr;
    const std::string converted = numberedPlaceholders(text);
    if (sqlite3_prepare_v3(db_, converted.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("SQLite prepare: ") + sqlite3_errmsg(db_));
    }
    return cache_.emplace(text, stmt).first->second;
  }

  void bind(sqlite3_stmt* stmt, int index, const sql::Param& param) {
    int rc = SQLITE_OK;
    if (const auto* n = std::get_if<std::int64_t>(&param)) {
      rc = sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(*n));
    } else if (const auto* s = std::get_if<std::string>(&param)) {
      rc = sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else {
      rc = sqlite3_bind_null(stmt, index);
    }
    if (rc != SQLITE_OK) throw StoreError(std::string("SQLite bind: ") + sqlite3_errmsg(db_));
  }

  static std::vector<std::optional<std::string>> row(sqlite3_stmt* stmt) {
    std::vector<std::optional<std::string>> cells;
    const int columns = sqlite3_column_count(stmt);
    for (int c = 0; c < columns; ++c) {
      if (sqlite3_column_type(stmt, c) == SQLITE_NULL) {
        cells.emplace_back(std::nullopt);
        continue;
      }
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
      cells.emplace_back(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, c))));
    }
    return cells;
  }

  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const SqliteOptions& options) {
  auto writer = std::make_unique<SqliteConnection>(options);
  // A private in-memory database exists only for its one connection.
  auto reader = options.path == ":memory:" ? nullptr : std::make_unique<SqliteConnection>(options);
  auto stats = options.path == ":memory:" ? nullptr : std::make_unique<SqliteConnection>(options);
  return sql::makeSqlStore(std::move(writer), std::move(reader), options.now, std::move(stats));
}

int sqliteSchemaVersion() { return sql::schemaVersion(); }

std::unique_ptr<sql::Connection> openSqliteConnection(const SqliteOptions& options) {
  return std::make_unique<SqliteConnection>(options);
}

}  // namespace reviri::gateway
