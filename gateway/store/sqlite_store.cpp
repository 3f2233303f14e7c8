// gateway/store/sqlite_store.cpp - the SQLite engine of the store.
//
// Every statement is prepared once per connection and bound by position;
// no value is ever pasted into SQL text.
#include "gateway/store/sqlite_store.h"
#include "gateway/store/rows.h"

#include <sqlite3.h>

#include <concepts>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace reviri::gateway {
namespace {

// Schema migrations, oldest first; version N is kMigrations[N - 1].
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE outbox (
  id INTEGER PRIMARY KEY,
  recipient TEXT NOT NULL,
  body TEXT NOT NULL,
  coding TEXT NOT NULL,
  flash INTEGER NOT NULL,
  report INTEGER NOT NULL,
  validity_minutes INTEGER,
  part_count INTEGER NOT NULL,
  status TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  modem TEXT NOT NULL DEFAULT '',
  lease_owner TEXT,
  lease_until INTEGER,
  in_flight INTEGER NOT NULL DEFAULT 0,
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL,
  due_ms INTEGER NOT NULL,
  expires_ms INTEGER,
  sent_ms INTEGER,
  last_error TEXT NOT NULL DEFAULT '',
  last_error_code INTEGER
);
CREATE INDEX outbox_due ON outbox (status, due_ms, id);
CREATE TABLE outbox_parts (
  message_id INTEGER NOT NULL REFERENCES outbox (id) ON DELETE CASCADE,
  part_index INTEGER NOT NULL,
  reference INTEGER,
  modem TEXT,
  sent_ms INTEGER,
  report_code INTEGER,
  PRIMARY KEY (message_id, part_index)
);
CREATE INDEX outbox_parts_reference ON outbox_parts (modem, reference, sent_ms);
CREATE TABLE outbox_history (
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES outbox (id) ON DELETE CASCADE,
  at_ms INTEGER NOT NULL,
  event TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX outbox_history_message ON outbox_history (message_id, id);
CREATE TABLE inbox (
  id INTEGER PRIMARY KEY,
  modem TEXT NOT NULL,
  sender TEXT NOT NULL,
  body TEXT NOT NULL,
  sent_at TEXT NOT NULL,
  stored_ms INTEGER NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  UNIQUE (modem, sender, sent_at, body)
);
CREATE TABLE delivery_reports (
  id INTEGER PRIMARY KEY,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  status_code INTEGER NOT NULL,
  discharged_at TEXT NOT NULL,
  received_ms INTEGER NOT NULL,
  message_id INTEGER
);
CREATE TABLE webhook_deliveries (
  id INTEGER PRIMARY KEY,
  url TEXT NOT NULL,
  event TEXT NOT NULL,
  body TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  status TEXT NOT NULL DEFAULT 'pending',
  next_ms INTEGER NOT NULL,
  last_error TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL
);
CREATE INDEX webhook_due ON webhook_deliveries (status, next_ms, id);
)sql",
};

constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

using rows::kOutboxColumns;

class Statement {
 public:
  Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  template <typename... Args>
  Statement& bind(const Args&... args) {
    int index = 0;
    (bindOne(++index, args), ...);
    return *this;
  }

  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("SQLite: ") + sqlite3_errmsg(db_));
  }
  void run() {
    while (step()) {
    }
  }

  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::optional<std::int64_t> optionalInteger(int column) const {
    if (isNull(column)) return std::nullopt;
    return integer(column);
  }
  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(stmt_, column);
    if (bytes == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw StoreError(std::string("SQLite bind: ") + sqlite3_errmsg(db_));
  }
  template <std::integral T>
  void bindOne(int index, T value) {
    check(sqlite3_bind_int64(stmt_, index, static_cast<sqlite3_int64>(value)));
  }
  void bindOne(int index, const std::string& value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
  }
  void bindOne(int index, const char* value) { bindOne(index, std::string(value)); }
  void bindOne(int index, std::nullptr_t) { check(sqlite3_bind_null(stmt_, index)); }
  template <typename T>
  void bindOne(int index, const std::optional<T>& value) {
    if (value) {
      bindOne(index, *value);
    } else {
      bindOne(index, nullptr);
    }
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(const SqliteOptions& options) : now_(options.now) {
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
      exec("PRAGMA journal_mode=WAL");
      exec("PRAGMA synchronous=" + options.synchronous);  // one of two fixed words, checked above
      exec("PRAGMA foreign_keys=ON");
      migrate();
    } catch (...) {
      close();
      throw;
    }
  }
  ~SqliteStore() override { close(); }

  std::int64_t enqueue(const NewMessage& m) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    std::optional<std::int64_t> expires;
    if (m.validityMinutes) expires = now + std::int64_t{*m.validityMinutes} * 60000;
    auto insert = prepare(
        "INSERT INTO outbox (recipient, body, coding, flash, report, validity_minutes, part_count, status, "
        "created_ms, updated_ms, due_ms, expires_ms) VALUES (?, ?, ?, ?, ?, ?, ?, 'queued', ?, ?, ?, ?)");
    insert.bind(m.to, m.text, m.coding, m.flash, m.report, m.validityMinutes, m.parts, now, now, now, expires).run();
    const auto id = sqlite3_last_insert_rowid(db_);
    for (int part = 1; part <= m.parts; ++part) {
      prepare("INSERT INTO outbox_parts (message_id, part_index) VALUES (?, ?)").bind(id, part).run();
    }
    addHistory(id, now, "queued", "");
    tx.commit();
    return id;
  }

  std::optional<MessageRecord> message(std::int64_t id) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this, false);
    auto select = prepare(std::string("SELECT ") + kOutboxColumns + " FROM outbox WHERE id = ?");
    select.bind(id);
    if (!select.step()) return std::nullopt;
    MessageRecord record = readRecord(select);
    readParts(record);
    auto history = prepare("SELECT at_ms, event, detail FROM outbox_history WHERE message_id = ? ORDER BY id");
    history.bind(id);
    while (history.step()) record.history.push_back({history.integer(0), history.text(1), history.text(2)});
    tx.commit();
    return record;
  }

  std::vector<MessageRecord> messages(std::optional<Status> status, int limit) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this, false);
    auto select = prepare(std::string("SELECT ") + kOutboxColumns +
                          " FROM outbox WHERE (?1 IS NULL OR status = ?1) ORDER BY id DESC LIMIT ?2");
    select.bind(status ? std::optional<std::string>(statusName(*status)) : std::nullopt, limit);
    std::vector<MessageRecord> records;
    while (select.step()) records.push_back(readRecord(select));
    for (auto& record : records) readParts(record);
    tx.commit();
    return records;
  }

  std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem, Lease lease) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    expireOverdue(now);
    auto update = prepare(
        "UPDATE outbox SET status = 'sending', lease_owner = ?1, lease_until = ?2, modem = ?3, "
        "attempts = attempts + 1, updated_ms = ?4 "
        "WHERE id = (SELECT id FROM outbox WHERE (status = 'queued' AND due_ms <= ?4) "
        "OR (status = 'sending' AND lease_until < ?4) ORDER BY due_ms, id LIMIT 1) "
        "RETURNING id, in_flight");
    update.bind(worker, now + lease.count(), modem, now);
    if (!update.step()) return std::nullopt;
    const auto id = update.integer(0);
    const bool wasInFlight = update.integer(1) != 0;
    update.run();
    if (wasInFlight) {
      // RETURNING shows the row after the update, so the flag is cleared here.
      prepare("UPDATE outbox SET in_flight = 0 WHERE id = ?").bind(id).run();
      addHistory(id, now, "possibly duplicated", "an earlier attempt may have reached a modem");
    }
    addHistory(id, now, "claimed", worker + " on " + modem);
    auto select = prepare(std::string("SELECT ") + kOutboxColumns + " FROM outbox WHERE id = ?");
    select.bind(id);
    select.step();
    MessageRecord record = readRecord(select);
    readParts(record);
    tx.commit();
    return record;
  }

  bool renew(std::int64_t id, const std::string& worker, Lease lease) override {
    std::lock_guard lock(mu_);
    const auto now = now_();
    auto update = prepare(
        "UPDATE outbox SET lease_until = ? WHERE id = ? AND status = 'sending' AND lease_owner = ? "
        "AND lease_until >= ?");
    update.bind(now + lease.count(), id, worker, now).run();
    return sqlite3_changes(db_) == 1;
  }

  bool markWriting(std::int64_t id, const std::string& worker) override {
    std::lock_guard lock(mu_);
    auto update = prepare("UPDATE outbox SET in_flight = 1 WHERE id = ? AND status = 'sending' AND lease_owner = ?");
    update.bind(id, worker).run();
    return sqlite3_changes(db_) == 1;
  }

  bool finishSent(std::int64_t id, const std::string& worker, const std::vector<int>& references) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    if (!endLease(id, worker, "sent", now, now, "", std::nullopt)) return false;
    auto modem = prepare("SELECT modem FROM outbox WHERE id = ?");
    modem.bind(id);
    modem.step();
    const std::string modemName = modem.text(0);
    std::string detail;
    for (std::size_t i = 0; i < references.size(); ++i) {
      prepare("UPDATE outbox_parts SET reference = ?, modem = ?, sent_ms = ? WHERE message_id = ? AND part_index = ?")
          .bind(references[i], modemName, now, id, static_cast<int>(i + 1))
          .run();
      if (i) detail += ',';
      detail += std::to_string(references[i]);
    }
    addHistory(id, now, "sent", "on " + modemName + (detail.empty() ? "" : ", references " + detail));
    tx.commit();
    return true;
  }

  bool finishFailed(std::int64_t id, const std::string& worker, const std::string& error,
                    std::optional<int> errorCode, std::optional<Lease> retryAfter) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    const bool retry = retryAfter.has_value();
    const auto due = now + (retry ? retryAfter->count() : 0);
    if (!endLease(id, worker, retry ? "queued" : "failed", due, std::nullopt, error, errorCode)) return false;
    addHistory(id, now, retry ? "retry" : "failed", error);
    tx.commit();
    return true;
  }

  bool release(std::int64_t id, const std::string& worker, const std::string& reason, bool pduMayBeOut) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    // With pduMayBeOut in_flight stays set: whoever claims the message next
    // learns that its PDU may already be out.
    auto update = prepare(
        "UPDATE outbox SET status = 'queued', lease_owner = NULL, lease_until = NULL, due_ms = ?, updated_ms = ?, "
        "in_flight = in_flight * ? WHERE id = ? AND status = 'sending' AND lease_owner = ?");
    update.bind(now, now, pduMayBeOut ? 1 : 0, id, worker).run();
    if (sqlite3_changes(db_) != 1) return false;
    addHistory(id, now, "released", reason);
    tx.commit();
    return true;
  }

  std::optional<std::int64_t> addReport(const std::string& modem, int reference, int statusCode,
                                        const std::string& dischargedAt) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    const auto now = now_();
    auto part = prepare(
        "SELECT message_id, part_index FROM outbox_parts WHERE modem = ? AND reference = ? "
        "ORDER BY sent_ms DESC LIMIT 1");
    part.bind(modem, reference);
    std::optional<std::int64_t> messageId;
    int partIndex = 0;
    if (part.step()) {
      messageId = part.integer(0);
      partIndex = static_cast<int>(part.integer(1));
    }
    prepare("INSERT INTO delivery_reports (modem, reference, status_code, discharged_at, received_ms, message_id) "
            "VALUES (?, ?, ?, ?, ?, ?)")
        .bind(modem, reference, statusCode, dischargedAt, now, messageId)
        .run();
    if (messageId) applyReport(*messageId, partIndex, statusCode, now);
    tx.commit();
    return messageId;
  }

  InboxResult addInbox(const InboxMessage& m) override {
    std::lock_guard lock(mu_);
    Transaction tx(*this);
    auto insert = prepare(
        "INSERT INTO inbox (modem, sender, body, sent_at, stored_ms) VALUES (?, ?, ?, ?, ?) "
        "ON CONFLICT (modem, sender, sent_at, body) DO NOTHING");
    insert.bind(m.modem, m.sender, m.text, m.sentAt, now_()).run();
    InboxResult result;
    if (sqlite3_changes(db_) == 1) {
      result = {sqlite3_last_insert_rowid(db_), true};
    } else {
      auto existing = prepare("SELECT id FROM inbox WHERE modem = ? AND sender = ? AND sent_at = ? AND body = ?");
      existing.bind(m.modem, m.sender, m.sentAt, m.text);
      existing.step();
      result = {existing.integer(0), false};
    }
    tx.commit();
    return result;
  }

  std::vector<InboxMessage> inbox(std::int64_t after, int limit) override {
    std::lock_guard lock(mu_);
    auto select = prepare(
        "SELECT id, modem, sender, body, sent_at, stored_ms FROM inbox WHERE id > ? AND deleted = 0 "
        "ORDER BY id LIMIT ?");
    select.bind(after, limit);
    std::vector<InboxMessage> result;
    while (select.step()) result.push_back(rows::readInbox(select));
    return result;
  }

  bool deleteInbox(std::int64_t id) override {
    std::lock_guard lock(mu_);
    // The row stays (marked) so that the same message read again from the
    // modem is still recognised as a duplicate.
    prepare("UPDATE inbox SET deleted = 1 WHERE id = ? AND deleted = 0").bind(id).run();
    return sqlite3_changes(db_) == 1;
  }

  std::int64_t enqueueWebhook(const std::string& url, const std::string& event, const std::string& body) override {
    std::lock_guard lock(mu_);
    const auto now = now_();
    prepare("INSERT INTO webhook_deliveries (url, event, body, next_ms, created_ms) VALUES (?, ?, ?, ?, ?)")
        .bind(url, event, body, now, now)
        .run();
    return sqlite3_last_insert_rowid(db_);
  }

  std::optional<WebhookDelivery> claimWebhook(Lease lease) override {
    std::lock_guard lock(mu_);
    const auto now = now_();
    auto update = prepare(
        "UPDATE webhook_deliveries SET next_ms = ?1, attempts = attempts + 1 "
        "WHERE id = (SELECT id FROM webhook_deliveries WHERE status = 'pending' AND next_ms <= ?2 "
        "ORDER BY next_ms, id LIMIT 1) RETURNING id, url, event, body, attempts");
    update.bind(now + lease.count(), now);
    if (!update.step()) return std::nullopt;
    WebhookDelivery delivery{update.integer(0), update.text(1), update.text(2), update.text(3),
                             static_cast<int>(update.integer(4))};
    update.run();
    return delivery;
  }

  void finishWebhook(std::int64_t id, bool delivered, const std::string& error,
                     std::optional<Lease> retryAfter) override {
    std::lock_guard lock(mu_);
    const char* status = delivered ? "delivered" : (retryAfter ? "pending" : "abandoned");
    prepare("UPDATE webhook_deliveries SET status = ?, last_error = ?, next_ms = ? WHERE id = ?")
        .bind(status, error, now_() + (retryAfter ? retryAfter->count() : 0), id)
        .run();
  }

  StoreCounts counts() override {
    std::lock_guard lock(mu_);
    Transaction tx(*this, false);
    StoreCounts counts;
    auto byStatus = prepare("SELECT status, count(*) FROM outbox GROUP BY status");
    while (byStatus.step()) rows::addStatusCount(counts, byStatus.text(0), byStatus.integer(1));
    auto inbox = prepare("SELECT count(*) FROM inbox WHERE deleted = 0");
    inbox.step();
    counts.inbox = inbox.integer(0);
    auto hooks = prepare("SELECT count(*) FROM webhook_deliveries WHERE status = 'pending'");
    hooks.step();
    counts.webhooksPending = hooks.integer(0);
    tx.commit();
    return counts;
  }

  std::optional<std::int64_t> nextDueMs() override {
    std::lock_guard lock(mu_);
    auto select = prepare("SELECT min(due_ms) FROM outbox WHERE status = 'queued'");
    select.step();
    return select.optionalInteger(0);
  }

 private:
  // BEGIN IMMEDIATE (or a read transaction) that rolls back unless committed.
  class Transaction {
   public:
    explicit Transaction(SqliteStore& store, bool write = true) : store_(store) {
      store_.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
      open_ = true;
    }
    ~Transaction() {
      if (open_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
      store_.exec("COMMIT");
      open_ = false;
    }

   private:
    SqliteStore& store_;
    bool open_ = false;
  };

  void close() {
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    cache_.clear();
    sqlite3_close(db_);
  }

  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string why = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw StoreError("SQLite: " + why);
    }
  }

  Statement prepare(const std::string& sql) {
    auto found = cache_.find(sql);
    if (found == cache_.end()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        throw StoreError(std::string("SQLite prepare: ") + sqlite3_errmsg(db_));
      }
      found = cache_.emplace(sql, stmt).first;
    }
    return Statement(db_, found->second);
  }

  void migrate() {
    exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    Transaction tx(*this);
    int version = 0;
    {
      auto select = prepare("SELECT max(version) FROM schema_version");
      if (select.step()) version = static_cast<int>(select.integer(0));
    }
    if (version > kSchemaVersion) {
      throw StoreError("the database has schema version " + std::to_string(version) + ", newer than this gateway's " +
                       std::to_string(kSchemaVersion));
    }
    for (int next = version + 1; next <= kSchemaVersion; ++next) {
      exec(kMigrations[next - 1]);
      prepare("INSERT INTO schema_version (version) VALUES (?)").bind(next).run();
    }
    tx.commit();
  }

  static MessageRecord readRecord(const Statement& row) { return rows::readMessage(row); }

  void readParts(MessageRecord& record) {
    auto parts = prepare(
        "SELECT part_index, reference, report_code FROM outbox_parts WHERE message_id = ? ORDER BY part_index");
    parts.bind(record.id);
    while (parts.step()) record.parts.push_back(rows::readPart(parts));
  }

  void addHistory(std::int64_t id, std::int64_t at, const std::string& event, const std::string& detail) {
    prepare("INSERT INTO outbox_history (message_id, at_ms, event, detail) VALUES (?, ?, ?, ?)")
        .bind(id, at, event, detail)
        .run();
  }

  // Ends the lease `worker` holds with a new status; false when it holds none.
  bool endLease(std::int64_t id, const std::string& worker, const char* status, std::int64_t due,
                std::optional<std::int64_t> sent, const std::string& error, std::optional<int> errorCode) {
    auto update = prepare(
        "UPDATE outbox SET status = ?, lease_owner = NULL, lease_until = NULL, in_flight = 0, due_ms = ?, "
        "sent_ms = coalesce(?, sent_ms), updated_ms = ?, last_error = ?, last_error_code = ? "
        "WHERE id = ? AND status = 'sending' AND lease_owner = ?");
    update.bind(status, due, sent, now_(), error, errorCode, id, worker).run();
    return sqlite3_changes(db_) == 1;
  }

  void expireOverdue(std::int64_t now) {
    auto select = prepare("SELECT id FROM outbox WHERE status = 'queued' AND expires_ms IS NOT NULL AND expires_ms < ?");
    select.bind(now);
    std::vector<std::int64_t> ids;
    while (select.step()) ids.push_back(select.integer(0));
    for (auto id : ids) {
      prepare("UPDATE outbox SET status = 'expired', updated_ms = ? WHERE id = ?").bind(now, id).run();
      addHistory(id, now, "expired", "not sent within its validity period");
    }
  }

  // A TP-Status below 0x20 means delivered, 0x20-0x3F still trying, 0x40
  // and above failed for good.
  void applyReport(std::int64_t id, int partIndex, int statusCode, std::int64_t now) {
    prepare("UPDATE outbox_parts SET report_code = ? WHERE message_id = ? AND part_index = ?")
        .bind(statusCode, id, partIndex)
        .run();
    addHistory(id, now, "report", "part " + std::to_string(partIndex) + " status " + std::to_string(statusCode));
    if (rows::reportFailed(statusCode)) {
      prepare("UPDATE outbox SET status = 'failed', last_error = ?, last_error_code = ?, updated_ms = ? WHERE id = ?")
          .bind(rows::reportFailure(statusCode), statusCode, now, id)
          .run();
      return;
    }
    auto pending = prepare(
        "SELECT count(*) FROM outbox_parts WHERE message_id = ? AND (report_code IS NULL OR report_code >= 32)");
    pending.bind(id);
    pending.step();
    if (pending.integer(0) == 0) {
      prepare("UPDATE outbox SET status = 'delivered', updated_ms = ? WHERE id = ? AND status = 'sent'")
          .bind(now, id)
          .run();
    }
  }

  Clock now_;
  sqlite3* db_ = nullptr;
  std::mutex mu_;
  std::unordered_map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const SqliteOptions& options) { return std::make_unique<SqliteStore>(options); }

int sqliteSchemaVersion() { return kSchemaVersion; }

}  // namespace reviri::gateway
