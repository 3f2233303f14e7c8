// gateway/store/sql_store.cpp - the store's logic, once for both engines.
#include "gateway/store/sql_store.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <type_traits>

#include "gateway/store/group_commit.h"
#include "gateway/store/modem_farm.h"
#include "gateway/store/rows.h"

namespace reviri::gateway::sql {
namespace {

// Schema migrations, oldest first; version N is migration(N - 1). "{id}" is
// the engine's self-numbering id column type.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE outbox (
  id {id},
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
  lease_until BIGINT,
  in_flight INTEGER NOT NULL DEFAULT 0,
  created_ms BIGINT NOT NULL,
  updated_ms BIGINT NOT NULL,
  due_ms BIGINT NOT NULL,
  expires_ms BIGINT,
  sent_ms BIGINT,
  last_error TEXT NOT NULL DEFAULT '',
  last_error_code INTEGER
);
CREATE INDEX outbox_due ON outbox (status, due_ms, id);
CREATE TABLE outbox_parts (
  message_id BIGINT NOT NULL REFERENCES outbox (id) ON DELETE CASCADE,
  part_index INTEGER NOT NULL,
  reference INTEGER,
  modem TEXT,
  sent_ms BIGINT,
  report_code INTEGER,
  PRIMARY KEY (message_id, part_index)
);
CREATE INDEX outbox_parts_reference ON outbox_parts (modem, reference, sent_ms);
CREATE TABLE outbox_history (
  id {id},
  message_id BIGINT NOT NULL REFERENCES outbox (id) ON DELETE CASCADE,
  at_ms BIGINT NOT NULL,
  event TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX outbox_history_message ON outbox_history (message_id, id);
CREATE TABLE inbox (
  id {id},
  modem TEXT NOT NULL,
  sender TEXT NOT NULL,
  body TEXT NOT NULL,
  sent_at TEXT NOT NULL,
  stored_ms BIGINT NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  UNIQUE (modem, sender, sent_at, body)
);
CREATE TABLE delivery_reports (
  id {id},
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  status_code INTEGER NOT NULL,
  discharged_at TEXT NOT NULL,
  received_ms BIGINT NOT NULL,
  message_id BIGINT
);
CREATE TABLE webhook_deliveries (
  id {id},
  url TEXT NOT NULL,
  event TEXT NOT NULL,
  body TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  status TEXT NOT NULL DEFAULT 'pending',
  next_ms BIGINT NOT NULL,
  last_error TEXT NOT NULL DEFAULT '',
  created_ms BIGINT NOT NULL
);
CREATE INDEX webhook_due ON webhook_deliveries (status, next_ms, id);
)sql",
    // Expiring queued messages are found without reading the whole queue.
    R"sql(
CREATE INDEX outbox_expiring ON outbox (status, expires_ms) WHERE expires_ms IS NOT NULL;
)sql",
    // Writes that may run twice find their own work by key; the client's
    // reference; bounded re-sends; reports keep the recipient they name.
    R"sql(
ALTER TABLE outbox ADD COLUMN client_reference TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN request_key TEXT;
ALTER TABLE outbox ADD COLUMN request_digest TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN request_nonce TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN maybe_sent INTEGER NOT NULL DEFAULT 0;
CREATE UNIQUE INDEX outbox_request_key ON outbox (request_key);
CREATE INDEX outbox_client_reference ON outbox (client_reference, id) WHERE client_reference <> '';
CREATE INDEX outbox_lease_owner ON outbox (lease_owner) WHERE status = 'sending';
ALTER TABLE delivery_reports ADD COLUMN recipient TEXT NOT NULL DEFAULT '';
ALTER TABLE delivery_reports ADD COLUMN unit_key TEXT;
CREATE UNIQUE INDEX delivery_reports_unit_key ON delivery_reports (unit_key);
)sql",
    // The inbox cursor follows a commit-ordered seq instead of the id (ids
    // are taken at INSERT and become visible at COMMIT in another order);
    // duplicates are told by a key of the storage slot and the PDU, which
    // is forgotten once the slot is deleted, instead of by sender, time
    // stamp and text (two genuine identical messages in one second). The
    // table is rebuilt: SQLite cannot drop the old UNIQUE constraint.
    R"sql(
CREATE TABLE inbox_keyed (
  id {id},
  modem TEXT NOT NULL,
  sender TEXT NOT NULL,
  body TEXT NOT NULL,
  sent_at TEXT NOT NULL,
  stored_ms BIGINT NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  seq BIGINT NOT NULL,
  dedupe_key TEXT
);
INSERT INTO inbox_keyed (id, modem, sender, body, sent_at, stored_ms, deleted, seq)
  SELECT id, modem, sender, body, sent_at, stored_ms, deleted, id FROM inbox;
DROP TABLE inbox;
ALTER TABLE inbox_keyed RENAME TO inbox;
{resync ids of inbox}
CREATE UNIQUE INDEX inbox_seq ON inbox (seq);
CREATE UNIQUE INDEX inbox_dedupe ON inbox (modem, dedupe_key);
CREATE TABLE inbox_counter (last_seq BIGINT NOT NULL);
INSERT INTO inbox_counter (last_seq) SELECT coalesce(max(seq), 0) FROM inbox;
)sql",
    // Each URL's sender claims its own rows; the URLs gateways serve (to
    // give up the rows of URLs nobody serves any more); modem names held by
    // live gateways.
    R"sql(
CREATE INDEX webhook_url_due ON webhook_deliveries (status, url, next_ms, id);
CREATE TABLE webhook_urls (
  url TEXT PRIMARY KEY,
  seen_ms BIGINT NOT NULL
);
CREATE TABLE modems (
  name TEXT PRIMARY KEY,
  owner TEXT NOT NULL,
  heartbeat_ms BIGINT NOT NULL
);
)sql",
    // API keys with scopes, kept by the SHA-256 of the key.
    R"sql(
CREATE TABLE api_keys (
  name TEXT PRIMARY KEY,
  digest TEXT NOT NULL UNIQUE,
  scopes TEXT NOT NULL,
  created_ms BIGINT NOT NULL

);
)sql",
    // Modem farms: a message's modem or tag, its priority (0 urgent, 1
    // normal) and send time; each lane is claimed through its own index
    // range (modem_farm.h). A modem's tags, limits and claim state; its
    // usage per window and its recipients per month, changed only under
    // the lock on its profile row.
    R"sql(
ALTER TABLE outbox ADD COLUMN target_modem TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN target_tag TEXT NOT NULL DEFAULT '';
ALTER TABLE outbox ADD COLUMN priority INTEGER NOT NULL DEFAULT 1;
ALTER TABLE outbox ADD COLUMN send_at_ms BIGINT;
ALTER TABLE outbox ADD COLUMN deferred TEXT NOT NULL DEFAULT '';
CREATE INDEX outbox_lane ON outbox (status, target_modem, target_tag, priority, due_ms, id);
CREATE TABLE modem_profiles (
  name TEXT PRIMARY KEY,
  min_gap_ms BIGINT,
  jitter_ms BIGINT,
  per_hour BIGINT,
  per_day BIGINT,
  per_month BIGINT,
  recipients_per_month BIGINT,
  hours_start INTEGER,
  hours_end INTEGER,
  high_per_hour BIGINT,
  file_limits TEXT NOT NULL DEFAULT '',
  next_send_ms BIGINT NOT NULL DEFAULT 0,
  last_claim_ms BIGINT NOT NULL DEFAULT 0,
  held_until_ms BIGINT NOT NULL DEFAULT 0,
  idle INTEGER NOT NULL DEFAULT 0,
  seen_ms BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE modem_tags (
  modem TEXT NOT NULL,
  tag TEXT NOT NULL,
  PRIMARY KEY (modem, tag)
);
CREATE INDEX modem_tags_tag ON modem_tags (tag, modem);
CREATE TABLE modem_usage (
  modem TEXT NOT NULL,
  kind TEXT NOT NULL,
  window_start BIGINT NOT NULL,
  used BIGINT NOT NULL,
  PRIMARY KEY (modem, kind, window_start)
);
CREATE TABLE modem_recipients (
  modem TEXT NOT NULL,
  month_start BIGINT NOT NULL,
  recipient TEXT NOT NULL,
  PRIMARY KEY (modem, month_start, recipient)
);
)sql",
    // Retention finds old rows by index: final messages by outbox_due,
    // delivered webhooks by webhook_due, and these two.
    R"sql(
CREATE INDEX inbox_deleted ON inbox (stored_ms) WHERE deleted = 1;
CREATE INDEX delivery_reports_received ON delivery_reports (received_ms);
)sql",
    // Events waiting for the MQTT broker, per broker and prefix (target);
    // a row is leased while its publication awaits the acknowledgement.
    R"sql(
CREATE TABLE mqtt_outbox (
  id {id},
  target TEXT NOT NULL,
  event TEXT NOT NULL,
  body TEXT NOT NULL,
  created_ms BIGINT NOT NULL,
  lease_owner TEXT NOT NULL DEFAULT '',
  lease_until BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX mqtt_outbox_due ON mqtt_outbox (target, lease_until, id);
CREATE INDEX mqtt_outbox_owner ON mqtt_outbox (lease_owner);
)sql",
    // The console's views: a number's messages, both ways.
    R"sql(
CREATE INDEX outbox_recipient ON outbox (recipient, id);
CREATE INDEX inbox_sender ON inbox (sender, id);
)sql",
    // ---- USSD ----
    // USSD requests: the code, the replies to give (a JSON array of
    // strings) and the answers the network gave (a JSON array of objects).
    R"sql(
CREATE TABLE ussd_requests (
  id {id},
  modem TEXT NOT NULL,
  tag TEXT NOT NULL,
  code TEXT NOT NULL,
  replies TEXT NOT NULL,
  status TEXT NOT NULL,
  answers TEXT NOT NULL DEFAULT '[]',
  error TEXT NOT NULL DEFAULT '',
  ran_on TEXT NOT NULL DEFAULT '',
  lease_owner TEXT NOT NULL DEFAULT '',
  lease_until BIGINT NOT NULL DEFAULT 0,
  created_ms BIGINT NOT NULL,
  updated_ms BIGINT NOT NULL
);
CREATE INDEX ussd_requests_status ON ussd_requests (status, id);
)sql",
    // Incoming calls; a call's key finds it again when its write runs twice.
    R"sql(
CREATE TABLE calls (
  id {id},
  modem TEXT NOT NULL,
  number TEXT NOT NULL,
  at_ms BIGINT NOT NULL,
  rejected INTEGER NOT NULL DEFAULT 0,
  call_key TEXT NOT NULL
);
CREATE UNIQUE INDEX calls_key ON calls (call_key);
CREATE INDEX calls_at ON calls (at_ms);
)sql",
};

constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

std::string migration(int index, const Connection& conn) {
  std::string sql = kMigrations[index];
  const std::string idType = conn.idColumnType();
  for (auto at = sql.find("{id}"); at != std::string::npos; at = sql.find("{id}", at)) sql.replace(at, 4, idType);
  const std::string resync = "{resync ids of ";
  for (auto at = sql.find(resync); at != std::string::npos; at = sql.find(resync, at)) {
    const auto end = sql.find('}', at);
    const std::string table = sql.substr(at + resync.size(), end - at - resync.size());
    sql.replace(at, end + 1 - at, conn.resyncIds(table));
  }
  return sql;
}

// A transaction that rolls back unless committed.
class Transaction {
 public:
  Transaction(Connection& conn, bool write) : conn_(conn) {
    if (write) {
      conn_.beginWrite();
    } else {
      conn_.exec("BEGIN", {});
    }
    open_ = true;
  }
  ~Transaction() {
    if (!open_) return;
    try {
      conn_.exec("ROLLBACK", {});
    } catch (const StoreError&) {
      // The connection is gone; so is the transaction.
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    conn_.exec("COMMIT", {});
    open_ = false;
  }

 private:
  Connection& conn_;
  bool open_ = false;
};

// A random key for a write that must be found again if it runs twice.
std::string randomKey() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  static const char* kHex = "0123456789abcdef";
  std::string key;
  for (int word = 0; word < 2; ++word) {
    auto bits = random();
    for (int i = 0; i < 16; ++i, bits >>= 4) key += kHex[bits & 15];
  }
  return key;
}

// Digits of a number without '+' and leading zeros, so that the
// international and the national form of one number compare.
std::string significantDigits(const std::string& number) {
  std::string digits;
  for (char c : number) {
    if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
  }
  return digits;
}

// Whether a report naming `reported` can be about a part sent to `sent`:
// the same digits, or one the other's tail (a national form) of at least
// seven digits. Alphanumeric or empty numbers never match.
bool sameRecipient(const std::string& sent, const std::string& reported) {
  const std::string a = significantDigits(sent), b = significantDigits(reported);
  if (a.empty() || b.empty()) return false;
  const std::string& shorter = a.size() < b.size() ? a : b;
  const std::string& longer = a.size() < b.size() ? b : a;
  return shorter.size() >= 7 && longer.compare(longer.size() - shorter.size(), shorter.size(), shorter) == 0;
}

nlohmann::json statusEvent(std::int64_t id, const std::string& to, const std::string& reference, const char* status,
                           const std::string& modem, const std::string& error) {
  nlohmann::json body{{"id", id}, {"to", to}, {"status", status}, {"modem", modem}};
  if (!error.empty()) body["error"] = error;
  if (!reference.empty()) body["reference"] = reference;
  return body;
}

constexpr std::int64_t kIdempotencyWindowMs = 24LL * 60 * 60 * 1000;

class SqlStore final : public Store {
 public:
  SqlStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader, std::unique_ptr<Connection> stats,
           Clock now)
      : conn_(std::move(writer)), reader_(std::move(reader)), stats_(std::move(stats)), now_(std::move(now)) {
    migrate();
  }

  void setWebhookUrls(std::vector<std::string> urls) override { urls_ = std::move(urls); }

  EnqueueResult enqueue(const NewMessage& m) override {
    // Decided before the transaction: a second run finds the first's row.
    const RequestKey key = requestKey(m);
    return write([&] {
      const auto result = insertMessage(m, key);
      if (!result.replayed && !result.keyConflict) conn_->announceNewWork();
      return result;
    });
  }

  std::optional<MessageRecord> message(std::int64_t id) override {
    return read([&](Connection& c) -> std::optional<MessageRecord> {
      Transaction tx(c, false);
      auto select = run(c, std::string("SELECT ") + rows::kOutboxColumns + " FROM outbox WHERE id = $1", Params(id));
      if (select.size() == 0) return std::nullopt;
      MessageRecord record = rows::readMessage(select.row(0));
      readParts(c, record);
      auto history =
          run(c, "SELECT at_ms, event, detail FROM outbox_history WHERE message_id = $1 ORDER BY id", Params(id));
      for (int i = 0; i < history.size(); ++i) {
        const auto row = history.row(i);
        record.history.push_back({row.integer(0), row.text(1), row.text(2)});
      }
      tx.commit();
      return record;
    });
  }

  std::vector<MessageRecord> messages(std::optional<Status> status, int limit, const std::string& reference) override {
    return read([&](Connection& c) {
      Transaction tx(c, false);
      auto select = run(c,
                        std::string("SELECT ") + rows::kOutboxColumns +
                            " FROM outbox WHERE (CAST($1 AS TEXT) IS NULL OR status = $1) "
                            "AND (CAST($2 AS TEXT) IS NULL OR client_reference = $2) ORDER BY id DESC LIMIT $3",
                        Params(status ? std::optional<std::string>(statusName(*status)) : std::nullopt,
                               reference.empty() ? std::nullopt : std::optional<std::string>(reference), limit));
      std::vector<MessageRecord> records;
      for (int i = 0; i < select.size(); ++i) records.push_back(rows::readMessage(select.row(i)));
      for (auto& record : records) readParts(c, record);
      tx.commit();
      return records;
    });
  }

  std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem, Lease lease) override {
    return write([&] { return claimNow(worker, modem, lease); });
  }

  bool renew(std::int64_t id, const std::string& worker, Lease lease) override {
    return write([&] { return extendLease(id, worker, lease); });
  }

  bool confirmParts(std::int64_t id, const std::string& worker, int firstPart, const std::vector<int>& references,
                    Lease lease) override {
    return write([&] {
      if (!extendLease(id, worker, lease)) return false;
      const auto now = this->now();
      for (std::size_t i = 0; i < references.size(); ++i) {
        run("UPDATE outbox_parts SET reference = $1, modem = (SELECT modem FROM outbox WHERE id = $2), sent_ms = $3 "
            "WHERE message_id = $2 AND part_index = $4",
            Params(references[i], id, now, firstPart + static_cast<int>(i)));
      }
      return true;
    });
  }

  bool finishSent(std::int64_t id, const std::string& worker, const std::vector<int>& references) override {
    return write([&] { return recordSent(id, worker, references); });
  }

  SentAndNext finishSentAndClaim(std::int64_t id, const std::string& worker, const std::vector<int>& references,
                                 const std::string& modem, Lease lease) override {
    return write([&] {
      SentAndNext result;
      result.recorded = recordSent(id, worker, references);
      result.next = claimNow(worker, modem, lease);
      return result;
    });
  }

  bool finishFailed(std::int64_t id, const std::string& worker, const std::string& error, std::optional<int> errorCode,
                    std::optional<Lease> retryAfter) override {
    return write([&] {
      const auto now = this->now();
      const bool retry = retryAfter.has_value();
      const char* status = retry ? "queued" : "failed";
      const auto due = now + (retry ? retryAfter->count() : 0);
      auto ended = endLease(id, worker, status, due, std::nullopt, error, errorCode);
      if (!ended) return alreadyEnded(id, worker, status);
      addHistory(id, now, retry ? "retry" : "failed", error);
      if (!retry) queueEvent("status", statusEvent(id, ended->to, ended->reference, "failed", ended->modem, error));
      return true;
    });
  }

  bool release(std::int64_t id, const std::string& worker, const std::string& reason, bool pduMayBeOut,
               bool attempted) override {
    return write([&] {
      const auto now = this->now();
      const auto changed = run(
          "UPDATE outbox SET status = 'queued', lease_until = NULL, due_ms = $1, updated_ms = $1, "
          "in_flight = in_flight * $2, maybe_sent = maybe_sent + $2, attempts = attempts - $5 "
          "WHERE id = $3 AND status = 'sending' AND lease_owner = $4",
          Params(now, pduMayBeOut ? 1 : 0, id, worker, attempted ? 0 : 1));
      if (changed.affected != 1) return alreadyEnded(id, worker, "queued");
      addHistory(id, now, "released", reason);
      return true;
    });
  }

  std::optional<std::int64_t> addReport(const std::string& modem, int reference, const std::string& recipient,
                                        int statusCode, const std::string& dischargedAt) override {
    const std::string key = randomKey();
    return write([&]() -> std::optional<std::int64_t> {
      auto done = run("SELECT message_id FROM delivery_reports WHERE unit_key = $1", Params(key));
      if (done.size() > 0) return done.row(0).optionalInteger(0);  // this unit ran before and was committed
      const auto now = this->now();
      auto candidates = run(
          "SELECT p.message_id, p.part_index, o.recipient FROM outbox_parts p JOIN outbox o ON o.id = p.message_id "
          "WHERE p.modem = $1 AND p.reference = $2 AND p.sent_ms >= $3 ORDER BY p.sent_ms DESC LIMIT 16",
          Params(modem, reference, now - std::chrono::duration_cast<std::chrono::milliseconds>(kReportWindow).count()));
      std::optional<std::int64_t> messageId;
      int partIndex = 0;
      for (int i = 0; i < candidates.size() && !messageId; ++i) {
        if (!sameRecipient(candidates.row(i).text(2), recipient)) continue;
        messageId = candidates.row(i).integer(0);
        partIndex = static_cast<int>(candidates.row(i).integer(1));
      }
      run("INSERT INTO delivery_reports (modem, reference, recipient, status_code, discharged_at, received_ms, "
          "message_id, unit_key) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
          Params(modem, reference, recipient, statusCode, dischargedAt, now, messageId, key));
      if (messageId) applyReport(*messageId, partIndex, reference, statusCode, now);
      return messageId;
    });
  }

  InboxResult addInbox(const InboxMessage& m) override {
    // A message without a slot gets a key of its own arrival, so a unit run
    // twice (its answer lost after the commit) stores it once.
    const std::string key = m.dedupeKey ? *m.dedupeKey : "arrival:" + randomKey();
    return write([&] {
      // The counter row's lock is held to the commit: inbox writers take
      // turns, so seq order is commit order.
      const auto seq = run("UPDATE inbox_counter SET last_seq = last_seq + 1 RETURNING last_seq").row(0).integer(0);
      const auto stored = now();  // also the MQTT row's time: its payload gives it as "stored"
      auto inserted =
          run("INSERT INTO inbox (modem, sender, body, sent_at, stored_ms, seq, dedupe_key) "
              "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (modem, dedupe_key) DO NOTHING RETURNING id",
              Params(m.modem, m.sender, m.text, m.sentAt, stored, seq, key));
      if (inserted.size() == 1) {
        const InboxResult result{inserted.row(0).integer(0), true};
        queueEvent("message", nlohmann::json{{"id", result.id},
                                             {"modem", m.modem},
                                             {"from", m.sender},
                                             {"text", m.text},
                                             {"sent_at", m.sentAt}},
                   stored);
        conn_->announceInbox();
        return result;
      }
      auto existing = run("SELECT id FROM inbox WHERE modem = $1 AND dedupe_key = $2", Params(m.modem, key));
      return InboxResult{existing.row(0).integer(0), false};
    });
  }

  std::vector<InboxMessage> inbox(std::int64_t after, int limit) override {
    return read([&](Connection& c) {
      auto select = run(c,
                        "SELECT id, modem, sender, body, sent_at, stored_ms, seq FROM inbox "
                        "WHERE seq > $1 AND deleted = 0 ORDER BY seq LIMIT $2",
                        Params(after, limit));
      std::vector<InboxMessage> result;
      for (int i = 0; i < select.size(); ++i) result.push_back(rows::readInbox(select.row(i)));
      return result;
    });
  }

  bool deleteInbox(std::int64_t id) override {
    return write(
        [&] { return run("UPDATE inbox SET deleted = 1 WHERE id = $1 AND deleted = 0", Params(id)).affected == 1; });
  }

  void forgetInboxKey(std::int64_t id) override {
    write([&] { run("UPDATE inbox SET dedupe_key = NULL WHERE id = $1", Params(id)); });
  }

  void watchInbox(std::function<void()> callback) override { conn_->watchInbox(std::move(callback)); }

  std::int64_t enqueueWebhook(const std::string& url, const std::string& event, const std::string& body) override {
    return write([&] {
      const auto now = this->now();
      return run("INSERT INTO webhook_deliveries (url, event, body, next_ms, created_ms) VALUES ($1, $2, $3, $4, $4) "
                 "RETURNING id",
                 Params(url, event, body, now))
          .row(0)
          .integer(0);
    });
  }

  std::optional<WebhookDelivery> claimWebhook(const std::string& url, Lease lease) override {
    return write([&]() -> std::optional<WebhookDelivery> {
      const auto now = this->now();
      auto claimed =
          run("UPDATE webhook_deliveries SET next_ms = $1, attempts = attempts + 1 "
              "WHERE id = (SELECT id FROM webhook_deliveries WHERE status = 'pending' AND url = $3 AND next_ms <= $2 "
              "ORDER BY next_ms, id LIMIT 1" +
                  std::string(conn_->skipLocked()) + ") RETURNING id, url, event, body, attempts",
              Params(now + lease.count(), now, url));
      if (claimed.size() == 0) return std::nullopt;
      const auto row = claimed.row(0);
      return WebhookDelivery{row.integer(0), row.text(1), row.text(2), row.text(3), static_cast<int>(row.integer(4))};
    });
  }

  void finishWebhook(std::int64_t id, bool delivered, const std::string& error,
                     std::optional<Lease> retryAfter) override {
    write([&] {
      const char* status = delivered ? "delivered" : (retryAfter ? "pending" : "abandoned");
      run("UPDATE webhook_deliveries SET status = $1, last_error = $2, next_ms = $3 WHERE id = $4",
          Params(status, error, now() + (retryAfter ? retryAfter->count() : 0), id));
    });
  }

  std::optional<std::chrono::milliseconds> nextWebhookDueIn(const std::string& url) override {
    return read([&](Connection& c) {
      return untilDue(run(c,
                             "SELECT min(next_ms), " + nowSql(c) +
                                 " FROM webhook_deliveries WHERE status = 'pending' AND url = $1",
                             Params(url)));
    });
  }

  void touchWebhookUrls(const std::vector<std::string>& urls) override {
    write([&] {
      for (const auto& url : urls) {
        run("INSERT INTO webhook_urls (url, seen_ms) VALUES ($1, $2) "
            "ON CONFLICT (url) DO UPDATE SET seen_ms = excluded.seen_ms",
            Params(url, now_()));
      }
    });
  }

  std::vector<WebhookDelivery> abandonUnservedWebhooks(Lease unservedFor, const std::string& reason) override {
    return write([&] {
      const auto cutoff = now_() - unservedFor.count();
      auto abandoned =
          run("UPDATE webhook_deliveries SET status = 'abandoned', last_error = $1 "
              "WHERE status = 'pending' AND created_ms < $2 "
              "AND url NOT IN (SELECT url FROM webhook_urls WHERE seen_ms >= $2) RETURNING id, url, event, attempts",
              Params(reason, cutoff));
      std::vector<WebhookDelivery> result;
      for (int i = 0; i < abandoned.size(); ++i) {
        const auto row = abandoned.row(i);
        result.push_back({row.integer(0), row.text(1), row.text(2), "", static_cast<int>(row.integer(3))});
      }
      return result;
    });
  }

  WebhookCounts webhookCounts() override {
    return read([&](Connection& c) {
      WebhookCounts counts;
      auto byStatus = run(c,
                          "SELECT status, count(*) FROM webhook_deliveries WHERE status IN ('pending', 'abandoned') "
                          "GROUP BY status");
      for (int i = 0; i < byStatus.size(); ++i) {
        (byStatus.row(i).text(0) == "pending" ? counts.pending : counts.abandoned) = byStatus.row(i).integer(1);
      }
      return counts;
    });
  }

  void watchNewWork(std::function<void()> callback) override { conn_->watchNewWork(std::move(callback)); }

  // On a connection of its own: counting a large outbox takes a while, and
  // lookups and listings must not wait for it.
  StoreCounts counts() override {
    if (!stats_) return read([&](Connection& c) { return countAll(c); });
    std::lock_guard lock(statsMu_);
    return countAll(*stats_);
  }

  StoreCounts countAll(Connection& c) {
    {
      Transaction tx(c, false);
      StoreCounts counts;
      auto byStatus = run(c, "SELECT status, count(*) FROM outbox GROUP BY status");
      for (int i = 0; i < byStatus.size(); ++i) {
        rows::addStatusCount(counts, byStatus.row(i).text(0), byStatus.row(i).integer(1));
      }
      counts.inbox = run(c, "SELECT count(*) FROM inbox WHERE deleted = 0").row(0).integer(0);
      counts.webhooksPending =
          run(c, "SELECT count(*) FROM webhook_deliveries WHERE status = 'pending'").row(0).integer(0);
      tx.commit();
      return counts;
    }
  }

  void ping() override {
    read([&](Connection& c) { return run(c, "SELECT 1"); });
  }

  std::optional<std::chrono::milliseconds> nextDueIn() override {
    return read([&](Connection& c) { return nextDueInOn(c); });
  }
  std::optional<std::chrono::milliseconds> nextDueInOn(Connection& c) {
    return untilDue(run(c, "SELECT min(due_ms), " + nowSql(c) + " FROM outbox WHERE status = 'queued'"));
  }
  // The store's time on a reading connection: the server's, else the injected one.
  std::int64_t serverNow(Connection& c) {
    return c.serverNowSql() ? run(c, std::string("SELECT ") + c.serverNowSql()).row(0).integer(0) : now_();
  }

  // ---- Modem farms -------------------------------------------------------
  void registerModems(const std::vector<ModemProfile>& modems) override {
    write([&] { farm::registerModems(*conn_, modems); });
  }
  bool setModemLimits(const std::string& name, const ModemLimits& limits) override {
    return write([&] { return farm::setLimits(*conn_, name, limits); });
  }
  std::vector<ModemUsage> modemUsage() override {
    return read([&](Connection& c) {
      Transaction tx(c, false);
      auto usage = farm::usage(c, serverNow(c));
      tx.commit();
      return usage;
    });
  }
  bool knownModem(const std::string& modem) override {
    return read([&](Connection& c) { return farm::knownModem(c, modem); });
  }
  bool knownTag(const std::string& tag) override {
    return read([&](Connection& c) { return farm::knownTag(c, tag); });
  }
  std::optional<std::chrono::milliseconds> nextClaimIn(const std::string& modem) override {
    return read([&](Connection& c) -> std::optional<std::chrono::milliseconds> {
      const auto now = serverNow(c);
      const auto next = farm::nextClaim(c, modem, now);
      if (!next.registered) return nextDueInOn(c);
      if (!next.atMs) return std::nullopt;
      return std::chrono::milliseconds(std::max<std::int64_t>(0, *next.atMs - now));
    });
  }

  void modemUnavailable(const std::string& modem) override {
    write([&] { farm::unavailable(*conn_, modem); });
  }

  // ---- Modem names -------------------------------------------------------
  std::optional<ModemNameHolder> claimModemNames(const std::vector<std::string>& names, const std::string& owner,
                                                 Lease staleAfter) override {
    // Thrown inside the transaction so that none of the names stays claimed.
    struct Taken {
      ModemNameHolder holder;
    };
    try {
      write([&] {
        const auto now = now_();
        for (const auto& name : names) {
          // Taken over only from the same owner or a stale one; PostgreSQL
          // checks the WHERE against the row as committed by a racing claim.
          auto claimed = run(
              "INSERT INTO modems (name, owner, heartbeat_ms) VALUES ($1, $2, $3) ON CONFLICT (name) DO UPDATE "
              "SET owner = excluded.owner, heartbeat_ms = excluded.heartbeat_ms "
              "WHERE modems.owner = excluded.owner OR modems.heartbeat_ms < $4 RETURNING name",
              Params(name, owner, now, now - staleAfter.count()));
          if (claimed.size() == 1) continue;
          auto holder = run("SELECT owner, heartbeat_ms FROM modems WHERE name = $1", Params(name));
          throw Taken{{name, holder.row(0).text(0), holder.row(0).integer(1)}};
        }
      });
    } catch (const Taken& taken) {
      return taken.holder;
    }
    return std::nullopt;
  }

  int renewModemNames(const std::string& owner) override {
    return write([&] {
      return static_cast<int>(
          run("UPDATE modems SET heartbeat_ms = $1 WHERE owner = $2", Params(now_(), owner)).affected);
    });
  }

  void releaseModemNames(const std::string& owner) override {
    write([&] { run("DELETE FROM modems WHERE owner = $1", Params(owner)); });
  }

  // ---- Cancel, batches, API keys, retention -------------------------------
  Purged purgeOnce(Lease retain, int rows) override {
    return write([&] {
      const auto cutoff = now() - retain.count();
      const auto purge = [&](const std::string& table, const std::string& old) {
        return run("DELETE FROM " + table + " WHERE id IN (SELECT id FROM " + table + " WHERE " + old + " LIMIT $2)",
                   Params(cutoff, rows))
            .affected;
      };
      Purged purged;
      // A final message's due time is when it became final (or earlier):
      // the index narrows by it, the last change decides. Its parts and
      // history go with it (ON DELETE CASCADE).
      purged.messages = purge("outbox",
                              "status IN ('sent', 'delivered', 'failed', 'expired', 'canceled') "
                              "AND due_ms < $1 AND updated_ms < $1");
      purged.inbox = purge("inbox", "deleted = 1 AND stored_ms < $1");
      purged.reports = purge("delivery_reports", "received_ms < $1");
      purged.webhooks = purge("webhook_deliveries", "status = 'delivered' AND next_ms < $1");
      purged.calls = purge("calls", "at_ms < $1");
      purged.ussd = purge("ussd_requests", "status IN ('done', 'failed') AND updated_ms < $1");
      return purged;
    });
  }

  bool addApiKey(const std::string& name, const std::string& digest, const std::vector<std::string>& scopes) override {
    std::string joined;
    for (const auto& scope : scopes) joined += (joined.empty() ? "" : ",") + scope;
    return write([&] {
      return run("INSERT INTO api_keys (name, digest, scopes, created_ms) VALUES ($1, $2, $3, $4) "
                 "ON CONFLICT (name) DO NOTHING RETURNING name",
                 Params(name, digest, joined, now()))
                 .size() == 1;
    });
  }

  std::vector<ApiKey> apiKeys() override {
    return read([&](Connection& c) {
      auto select = run(c, "SELECT name, scopes, created_ms FROM api_keys ORDER BY name");
      std::vector<ApiKey> keys;
      for (int i = 0; i < select.size(); ++i) keys.push_back(readApiKey(select.row(i)));
      return keys;
    });
  }

  bool revokeApiKey(const std::string& name) override {
    return write([&] { return run("DELETE FROM api_keys WHERE name = $1", Params(name)).affected == 1; });
  }

  std::optional<ApiKey> apiKeyByDigest(const std::string& digest) override {
    return read([&](Connection& c) -> std::optional<ApiKey> {
      auto select = run(c, "SELECT name, scopes, created_ms FROM api_keys WHERE digest = $1", Params(digest));
      if (select.size() == 0) return std::nullopt;
      return readApiKey(select.row(0));
    });
  }

  // name, scopes (comma-separated), created_ms
  static ApiKey readApiKey(const Result::Row& row) {
    ApiKey key{row.text(0), {}, row.integer(2)};
    const std::string scopes = row.text(1);
    for (std::size_t at = 0; at < scopes.size();) {
      const auto comma = std::min(scopes.find(',', at), scopes.size());
      key.scopes.push_back(scopes.substr(at, comma - at));
      at = comma + 1;
    }
    return key;
  }

  BatchResult enqueueBatch(const std::vector<NewMessage>& messages) override {
    std::vector<RequestKey> keys;
    keys.reserve(messages.size());
    for (const auto& m : messages) keys.push_back(requestKey(m));
    // Thrown inside the transaction so that no message of the batch stays.
    struct KeyConflict {
      std::size_t index;
    };
    try {
      return write([&] {
        BatchResult batch;
        batch.replayed = !messages.empty();
        for (std::size_t i = 0; i < messages.size(); ++i) {
          const auto result = insertMessage(messages[i], keys[i]);
          if (result.keyConflict) throw KeyConflict{i};
          batch.ids.push_back(result.id);
          batch.replayed = batch.replayed && result.replayed;
        }
        if (!batch.replayed) conn_->announceNewWork();
        return batch;
      });
    } catch (const KeyConflict& conflict) {
      BatchResult refused;
      refused.keyConflict = conflict.index;
      return refused;
    }
  }

  CancelResult cancel(std::int64_t id) override {
    return write([&] {
      const auto now = this->now();
      // The claim moves a message out of these statuses under the same row
      // lock, so exactly one of them wins (and a run twice finds its own
      // cancel done by the status below).
      auto canceled = run(
          "UPDATE outbox SET status = 'canceled', updated_ms = $1, due_ms = $1 "
          "WHERE id = $2 AND status IN ('queued', 'scheduled') RETURNING recipient, client_reference, modem",
          Params(now, id));
      if (canceled.size() == 1) {
        const auto row = canceled.row(0);
        addHistory(id, now, "canceled", "by request");
        queueEvent("status", statusEvent(id, row.text(0), row.text(1), "canceled", row.text(2), ""));
        return CancelResult{true, true, Status::kCanceled};
      }
      auto found = run("SELECT status FROM outbox WHERE id = $1", Params(id));
      if (found.size() == 0) return CancelResult{};
      const Status status = statusFromName(found.row(0).text(0));
      return CancelResult{true, status == Status::kCanceled, status};
    });
  }


  // ---- MQTT outbox -------------------------------------------------------
  void setMqttTarget(std::string target) override { mqttTarget_ = std::move(target); }

  std::vector<MqttEvent> claimMqttEvents(const std::string& target, const std::string& owner, int limit,
                                         Lease lease) override {
    return write([&] {
      const auto now = this->now();
      auto claimed = run(
          "UPDATE mqtt_outbox SET lease_owner = $1, lease_until = $2 WHERE id IN (SELECT id FROM mqtt_outbox "
          "WHERE target = $3 AND lease_until <= $4 ORDER BY id LIMIT $5" +
              std::string(conn_->skipLocked()) + ") RETURNING id, event, body, created_ms",
          Params(owner, now + lease.count(), target, now, limit));
      std::vector<MqttEvent> events;
      for (int i = 0; i < claimed.size(); ++i) {
        const auto row = claimed.row(i);
        events.push_back({row.integer(0), row.text(1), row.text(2), row.integer(3)});
      }
      // Published in the order of the changes (RETURNING keeps none).
      std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
      return events;
    });
  }

  void renewMqttEvents(const std::vector<std::int64_t>& ids, Lease lease) override {
    write([&] {
      for (const auto id : ids) run("UPDATE mqtt_outbox SET lease_until = $1 WHERE id = $2", Params(now() + lease.count(), id));
    });
  }

  void finishMqttEvents(const std::vector<std::int64_t>& ids) override {
    write([&] {
      for (const auto id : ids) run("DELETE FROM mqtt_outbox WHERE id = $1", Params(id));
    });
  }

  void releaseMqttEvents(const std::string& owner) override {
    write([&] { run("UPDATE mqtt_outbox SET lease_until = 0 WHERE lease_owner = $1", Params(owner)); });
  }

 private:
  Result run(const std::string& sql, const Params& params = Params()) { return run(*conn_, sql, params); }
  static Result run(Connection& c, const std::string& sql, const Params& params = Params()) {
    return c.exec(sql, params.values());
  }

  // The store's time inside a write: the server's at the start of the
  // transaction where it has a clock, else the injected one.
  std::int64_t now() const { return transactionNow_ ? *transactionNow_ : now_(); }
  // From a row "due time, the server's time or NULL": how long until due
  // by the store's clock (zero when due), or nothing when there is none.
  std::optional<std::chrono::milliseconds> untilDue(const Result& result) const {
    const auto row = result.row(0);
    const auto due = row.optionalInteger(0);
    if (!due) return std::nullopt;
    const auto now = row.optionalInteger(1).value_or(now_());
    return std::chrono::milliseconds(std::max<std::int64_t>(0, *due - now));
  }
  // The server's time as an SQL expression for reads, or NULL.
  std::string nowSql(Connection& c) const {
    const char* expression = c.serverNowSql();
    return expression ? expression : "NULL";
  }

  // Runs `work` on the reading connection, which sees every committed
  // write and, on SQLite in WAL mode, never waits for a writer; without
  // one (a private in-memory database), on the writing connection.
  template <class Work>
  std::invoke_result_t<Work, Connection&> read(Work work) {
    if (!reader_) {
      std::lock_guard lock(mu_);
      return work(*conn_);
    }
    std::lock_guard lock(readMu_);
    return work(*reader_);
  }

  // Runs `work` in a write transaction, committed together with those of
  // other threads writing at the same time; returns what `work` returned
  // once the commit is done. `work` may run twice (see store.h).
  template <class Work>
  std::invoke_result_t<Work> write(Work work) {
    using Value = std::invoke_result_t<Work>;
    if constexpr (std::is_void_v<Value>) {
      commits_.run(work);
    } else {
      std::optional<Value> value;
      commits_.run([&] { value.emplace(work()); });
      return std::move(*value);
    }
  }

  // One transaction for the batch. Should it fail (a unit's statement, or
  // the commit, or the commit's answer), nothing of it may stay and each
  // unit runs again alone, finding by its key what did stay.
  void runBatch(const std::vector<GroupCommit::Unit*>& batch) {
    std::lock_guard lock(mu_);
    if (batch.size() > 1) {
      try {
        Transaction tx(*conn_, true);
        startTransaction();
        for (GroupCommit::Unit* unit : batch) unit->work();
        tx.commit();
        transactionNow_.reset();
        deliverCommittedEvents();
        return;
      } catch (...) {
        // Rolled back (or committed with the answer lost); taken one by one below.
      }
    }
    for (GroupCommit::Unit* unit : batch) {
      try {
        Transaction tx(*conn_, true);
        startTransaction();
        unit->work();
        tx.commit();
        deliverCommittedEvents();
      } catch (...) {
        unit->error = std::current_exception();
      }
    }
    transactionNow_.reset();
  }

  void startTransaction() {
    transactionNow_.reset();
    uncommittedEvents_.clear();  // a rolled-back run's events never happened
    if (conn_->serverNowSql()) {
      transactionNow_ = run(std::string("SELECT ") + conn_->serverNowSql()).row(0).integer(0);
    }
  }

  void migrate() {
    std::lock_guard lock(mu_);
    conn_->script("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    Transaction tx(*conn_, true);
    conn_->lockForMigration();
    const int version = static_cast<int>(run("SELECT coalesce(max(version), 0) FROM schema_version").row(0).integer(0));
    if (version > kSchemaVersion) {
      throw StoreError("the database has schema version " + std::to_string(version) + ", newer than this gateway's " +
                       std::to_string(kSchemaVersion));
    }
    for (int next = version + 1; next <= kSchemaVersion; ++next) {
      conn_->script(migration(next - 1, *conn_));
      run("INSERT INTO schema_version (version) VALUES ($1)", Params(next));
    }
    tx.commit();
  }

  static void readParts(Connection& c, MessageRecord& record) {
    auto parts =
        run(c, "SELECT part_index, reference, report_code FROM outbox_parts WHERE message_id = $1 ORDER BY part_index",
            Params(record.id));
    for (int i = 0; i < parts.size(); ++i) record.parts.push_back(rows::readPart(parts.row(i)));
  }

  // The answer to a request whose key is taken: the same request again
  // (or this one, run twice) or another one under the same key.
  EnqueueResult existingRequest(const std::string& key, const std::string& digest, const std::string& nonce) {
    auto found = run("SELECT id, request_digest, request_nonce FROM outbox WHERE request_key = $1", Params(key));
    if (found.size() == 0) throw StoreError("the request key " + key + " is taken by no message");
    const auto row = found.row(0);
    if (row.text(1) != digest) return EnqueueResult{0, false, true};
    return EnqueueResult{row.integer(0), row.text(2) != nonce, false};
  }

  // The key a queued message is found by should its write run twice: the
  // client's Idempotency-Key, else a random one of its own.
  struct RequestKey {
    std::string key, nonce;
  };
  static RequestKey requestKey(const NewMessage& m) {
    std::string nonce = randomKey();
    return {m.idempotencyKey.empty() ? "auto:" + nonce : "client:" + m.idempotencyKey, nonce};
  }

  // Queues one message inside a write transaction (enqueue, enqueueBatch).
  EnqueueResult insertMessage(const NewMessage& m, const RequestKey& key) {
    const auto now = this->now();
    if (!m.idempotencyKey.empty()) {
      run("UPDATE outbox SET request_key = NULL WHERE request_key = $1 AND created_ms < $2",
          Params(key.key, now - kIdempotencyWindowMs));
    }
    // A scheduled message falls due at its time; validity counts from then.
    const auto due = std::max(now, m.sendAtMs.value_or(now));
    std::optional<std::int64_t> expires;
    if (m.validityMinutes) expires = due + std::int64_t{*m.validityMinutes} * 60000;
    auto inserted = run(
        "INSERT INTO outbox (recipient, body, coding, flash, report, validity_minutes, part_count, status, "
        "created_ms, updated_ms, due_ms, expires_ms, client_reference, request_key, request_digest, request_nonce, "
        "target_modem, target_tag, priority, send_at_ms) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7, 'queued', $8, $8, $14, $9, $10, $11, $12, $13, $15, $16, $17, $18) "
        "ON CONFLICT (request_key) DO NOTHING RETURNING id",
        Params(m.to, m.text, m.coding, m.flash, m.report, m.validityMinutes, m.parts, now, expires, m.reference,
               key.key, m.requestDigest, key.nonce, due, m.modem, m.tag, m.high ? 0 : 1, m.sendAtMs));
    if (inserted.size() == 0) return existingRequest(key.key, m.requestDigest, key.nonce);
    const auto id = inserted.row(0).integer(0);
    for (int part = 1; part <= m.parts; ++part) {
      run("INSERT INTO outbox_parts (message_id, part_index) VALUES ($1, $2)", Params(id, part));
    }
    addHistory(id, now, "queued", "");
    announceEvent("status", statusEvent(id, m.to, m.reference, "queued", "", ""));
    return EnqueueResult{id, false, false};
  }

  bool extendLease(std::int64_t id, const std::string& worker, Lease lease) {
    const auto now = this->now();
    return run("UPDATE outbox SET lease_until = $1 WHERE id = $2 AND status = 'sending' AND lease_owner = $3 "
               "AND lease_until >= $4",
               Params(now + lease.count(), id, worker, now))
               .affected == 1;
  }

  // The claim, inside a write transaction. A worker claims only while it
  // holds nothing and records every outcome before it claims again, so a
  // live lease of its own is a claim whose answer was lost (this unit run
  // again, or the worker's last call): that message, not another.
  std::optional<MessageRecord> claimNow(const std::string& worker, const std::string& modem, Lease lease) {
    const auto now = this->now();
    auto mine = run(std::string("SELECT ") + rows::kOutboxColumns +
                        " FROM outbox WHERE lease_owner = $1 AND status = 'sending' AND lease_until >= $2",
                    Params(worker, now));
    if (mine.size() > 0) {
      MessageRecord record = rows::readMessage(mine.row(0));
      readParts(*conn_, record);
      return record;
    }
    expireOverdue(now);
    auto chosen = chooseMessage(modem, now);
    if (!chosen) return std::nullopt;
    auto claimed =
        run("UPDATE outbox SET status = 'sending', lease_owner = $1, lease_until = $2, modem = $3, "
            "attempts = attempts + 1, updated_ms = $4, in_flight = CASE WHEN in_flight = 0 THEN 1 ELSE 2 END, "
            "maybe_sent = maybe_sent + CASE WHEN in_flight = 1 AND status = 'sending' THEN 1 ELSE 0 END "
            "WHERE id = $5 RETURNING " + std::string(rows::kOutboxColumns) + ", in_flight",
            Params(worker, now + lease.count(), modem, now, *chosen));
    if (claimed.size() == 0) return std::nullopt;
    MessageRecord record = rows::readMessage(claimed.row(0));
    const auto id = record.id;
    // 2: the mark of an attempt that ended without finishing was still set.
    if (claimed.row(0).integer(rows::kOutboxColumnCount) == 2) {
      addHistory(id, now, "possibly duplicated", "an earlier attempt may have reached a modem");
    }
    addHistory(id, now, "claimed", worker + " on " + modem);
    readParts(*conn_, record);
    return record;
  }

  // The message a claim takes: one whose lease ran out, else the next one
  // routing and limits give this modem (modem_farm.h); any due one for a
  // modem no gateway registered.
  std::optional<std::int64_t> chooseMessage(const std::string& modem, std::int64_t now) {
    auto lost = run("SELECT id FROM outbox WHERE status = 'sending' AND lease_until < $1 AND " + farm::eligibleFor(2) +
                        " ORDER BY due_ms, id LIMIT 1" + conn_->skipLocked(),
                    Params(now, modem));
    if (lost.size() > 0) return lost.row(0).integer(0);
    const auto choice = farm::choose(*conn_, modem, now, [&](std::int64_t id, const std::string& event,
                                                              const std::string& detail) { addHistory(id, now, event, detail); });
    if (choice.registered) return choice.id;
    auto any = run(std::string("SELECT id FROM outbox WHERE status = 'queued' AND due_ms <= $1 ORDER BY due_ms, id "
                               "LIMIT 1") + conn_->skipLocked(),
                   Params(now));
    if (any.size() == 0) return std::nullopt;
    return any.row(0).integer(0);
  }

  // finishSent, inside a write transaction.
  bool recordSent(std::int64_t id, const std::string& worker, const std::vector<int>& references) {
    const auto now = this->now();
    const auto ended = endLease(id, worker, "sent", now, now, "", std::nullopt);
    if (!ended) return alreadyEnded(id, worker, "sent");
    std::string detail;
    for (std::size_t i = 0; i < references.size(); ++i) {
      // A part accepted in an earlier attempt keeps the time it was sent.
      run("UPDATE outbox_parts SET reference = $1, modem = $2, "
          "sent_ms = CASE WHEN reference = $1 AND sent_ms IS NOT NULL THEN sent_ms ELSE $3 END "
          "WHERE message_id = $4 AND part_index = $5",
          Params(references[i], ended->modem, now, id, static_cast<int>(i + 1)));
      if (i) detail += ',';
      detail += std::to_string(references[i]);
    }
    addHistory(id, now, "sent", "on " + ended->modem + (detail.empty() ? "" : ", references " + detail));
    farm::sent(*conn_, ended->modem, now);
    queueEvent("status", statusEvent(id, ended->to, ended->reference, "sent", ended->modem, ""));
    return true;
  }

  void addHistory(std::int64_t id, std::int64_t at, const std::string& event, const std::string& detail) {
    run("INSERT INTO outbox_history (message_id, at_ms, event, detail) VALUES ($1, $2, $3, $4)",
        Params(id, at, event, detail));
  }

  // One pending webhook delivery per URL, in the transaction of the change.
  void queueEvent(const std::string& event, const nlohmann::json& body, std::optional<std::int64_t> at = {}) {
    announceEvent(event, body);
    if (urls_.empty() && mqttTarget_.empty()) return;
    const std::string text = body.dump();
    const auto now = this->now();
    for (const auto& url : urls_) {
      run("INSERT INTO webhook_deliveries (url, event, body, next_ms, created_ms) VALUES ($1, $2, $3, $4, $4)",
          Params(url, event, text, now));
    }
    if (!mqttTarget_.empty()) {
      run("INSERT INTO mqtt_outbox (target, event, body, created_ms) VALUES ($1, $2, $3, $4)",
          Params(mqttTarget_, event, text, at.value_or(now)));
    }
  }

  struct Ended {
    std::string modem, to, reference;
  };
  // Ends `worker`'s lease with `status`; returns the message's modem,
  // recipient and reference, or nothing when the lease was no longer held.
  // The holder's name stays, so that a second run can tell its own end.
  std::optional<Ended> endLease(std::int64_t id, const std::string& worker, const char* status, std::int64_t due,
                                std::optional<std::int64_t> sent, const std::string& error,
                                std::optional<int> errorCode) {
    auto ended =
        run("UPDATE outbox SET status = $1, lease_until = NULL, in_flight = 0, due_ms = $2, "
            "sent_ms = coalesce($3, sent_ms), updated_ms = $4, last_error = $5, last_error_code = $6 "
            "WHERE id = $7 AND status = 'sending' AND lease_owner = $8 RETURNING modem, recipient, client_reference",
            Params(status, due, sent, now(), error, errorCode, id, worker));
    if (ended.size() != 1) return std::nullopt;
    return Ended{ended.row(0).text(0), ended.row(0).text(1), ended.row(0).text(2)};
  }

  // Whether `worker`'s lease already ended with `status`: an earlier run of
  // the same step whose commit went through and whose answer was lost.
  bool alreadyEnded(std::int64_t id, const std::string& worker, const char* status) {
    return run("SELECT 1 FROM outbox WHERE id = $1 AND lease_owner = $2 AND status = $3", Params(id, worker, status))
               .size() == 1;
  }

  void expireOverdue(std::int64_t now) {
    auto expired =
        run("UPDATE outbox SET status = 'expired', updated_ms = $1 WHERE status = 'queued' AND expires_ms IS NOT NULL "
            "AND expires_ms < $1 RETURNING id, recipient, client_reference, modem",
            Params(now));
    for (int i = 0; i < expired.size(); ++i) {
      const auto row = expired.row(i);
      const std::string why = "not sent within its validity period";
      addHistory(row.integer(0), now, "expired", why);
      queueEvent("status", statusEvent(row.integer(0), row.text(1), row.text(2), "expired", row.text(3), why));
    }
  }

  void applyReport(std::int64_t id, int partIndex, int reference, int statusCode, std::int64_t now) {
    run("UPDATE outbox_parts SET report_code = $1 WHERE message_id = $2 AND part_index = $3",
        Params(statusCode, id, partIndex));
    addHistory(id, now, "report", "part " + std::to_string(partIndex) + " status " + std::to_string(statusCode));
    const Result found = run("SELECT recipient, client_reference, modem FROM outbox WHERE id = $1", Params(id));
    const auto message = found.row(0);
    const char* outcome = statusCode < 0x20 ? "delivered" : (rows::reportFailed(statusCode) ? "failed" : "pending");
    nlohmann::json report{{"id", id},        {"reference", reference}, {"status", statusCode},
                          {"outcome", outcome}, {"part", partIndex}};
    if (!message.text(1).empty()) report["message_reference"] = message.text(1);
    queueEvent("report", report);
    if (rows::reportFailed(statusCode)) {
      const std::string why = rows::reportFailure(statusCode);
      run("UPDATE outbox SET status = 'failed', last_error = $1, last_error_code = $2, updated_ms = $3 WHERE id = $4",
          Params(why, statusCode, now, id));
      queueEvent("status", statusEvent(id, message.text(0), message.text(1), "failed", message.text(2), why));
      return;
    }
    const auto pending =
        run("SELECT count(*) FROM outbox_parts WHERE message_id = $1 AND (report_code IS NULL OR report_code >= 32)",
            Params(id));
    if (pending.row(0).integer(0) > 0) return;
    if (run("UPDATE outbox SET status = 'delivered', updated_ms = $1 WHERE id = $2 AND status = 'sent'", Params(now, id))
            .affected == 1) {
      queueEvent("status", statusEvent(id, message.text(0), message.text(1), "delivered", message.text(2), ""));
    }
  }

  std::unique_ptr<Connection> conn_;    // writes (and reads without a reader)
  std::unique_ptr<Connection> reader_;  // may be null
  std::unique_ptr<Connection> stats_;   // counts; may be null
  std::mutex statsMu_;
  Clock now_;
  std::optional<std::int64_t> transactionNow_;  // set while a write transaction runs
  std::vector<std::string> urls_;
  std::string mqttTarget_;
  std::mutex mu_;  // the writing connection's; taken by the batch runner
  std::mutex readMu_;
  GroupCommit commits_{[this](const std::vector<GroupCommit::Unit*>& batch) { runBatch(batch); }};

  // ---- Live events and console views ----------------------------------------
 public:
  std::vector<MessageRecord> messagePage(const MessageFilter& f) override {
    return read([&](Connection& c) {
      Transaction tx(c, false);
      auto select = run(c,
                        std::string("SELECT ") + rows::kOutboxColumns +
                            " FROM outbox WHERE (CAST($1 AS TEXT) IS NULL OR status = $1) "
                            "AND (CAST($2 AS TEXT) IS NULL OR recipient = $2) "
                            "AND (CAST($3 AS BIGINT) IS NULL OR id < $3) ORDER BY id DESC LIMIT $4",
                        Params(f.status ? std::optional<std::string>(statusName(*f.status)) : std::nullopt,
                               f.to.empty() ? std::nullopt : std::optional<std::string>(f.to), f.beforeId, f.limit));
      std::vector<MessageRecord> records;
      for (int i = 0; i < select.size(); ++i) records.push_back(rows::readMessage(select.row(i)));
      for (auto& record : records) readParts(c, record);
      tx.commit();
      return records;
    });
  }

  std::vector<Conversation> conversations(int limit) override {
    return read([&](Connection& c) {
      // Each number's latest message either way, then the latest numbers.
      auto select = run(c,
                        "SELECT number, at_ms, body, incoming FROM ("
                        "  SELECT recipient AS number, created_ms AS at_ms, body, 0 AS incoming, id FROM outbox o "
                        "  WHERE id = (SELECT max(id) FROM outbox WHERE recipient = o.recipient) "
                        "  UNION ALL "
                        "  SELECT sender, stored_ms, body, 1, id FROM inbox i "
                        "  WHERE id = (SELECT max(id) FROM inbox WHERE sender = i.sender)) latest "
                        "ORDER BY at_ms DESC, incoming DESC",
                        Params());
      std::vector<Conversation> list;
      std::set<std::string> seen;
      for (int i = 0; i < select.size() && static_cast<int>(list.size()) < limit; ++i) {
        const auto row = select.row(i);
        if (!seen.insert(row.text(0)).second) continue;  // its other direction was later
        list.push_back({row.text(0), row.integer(1), row.text(2), row.integer(3) == 1});
      }
      return list;
    });
  }

  std::vector<ThreadEntry> conversation(const std::string& number, int limit) override {
    return read([&](Connection& c) {
      auto select = run(c,
                        "SELECT incoming, id, at_ms, body, status, modem FROM ("
                        "  SELECT 0 AS incoming, id, created_ms AS at_ms, body, status, modem FROM outbox "
                        "  WHERE recipient = $1 "
                        "  UNION ALL SELECT 1, id, stored_ms, body, '', modem FROM inbox WHERE sender = $1) thread "
                        "ORDER BY at_ms DESC, id DESC LIMIT $2",
                        Params(number, limit));
      std::vector<ThreadEntry> entries;
      for (int i = select.size() - 1; i >= 0; --i) {
        const auto row = select.row(i);
        entries.push_back({row.integer(0) == 1, row.integer(1), row.integer(2), row.text(3), row.text(4), row.text(5)});
      }
      return entries;
    });
  }

  std::vector<InboxMessage> latestInbox(int limit) override {
    return read([&](Connection& c) {
      auto select = run(c, "SELECT id, modem, sender, body, sent_at, stored_ms FROM inbox ORDER BY seq DESC LIMIT $1",
                        Params(limit));
      std::vector<InboxMessage> list;
      for (int i = 0; i < select.size(); ++i) {
        const auto row = select.row(i);
        InboxMessage m;
        m.id = row.integer(0);
        m.modem = row.text(1);
        m.sender = row.text(2);
        m.text = row.text(3);
        m.sentAt = row.text(4);
        m.storedMs = row.integer(5);
        list.push_back(std::move(m));
      }
      return list;
    });
  }

  ActivityCounts activitySince(std::int64_t sinceMs) override {
    return read([&](Connection& c) {
      const auto result = run(c,
                     "SELECT "
                     "coalesce(sum(CASE WHEN sent_ms >= $1 THEN 1 ELSE 0 END), 0), "
                     "coalesce(sum(CASE WHEN status = 'delivered' AND updated_ms >= $1 THEN 1 ELSE 0 END), 0), "
                     "coalesce(sum(CASE WHEN status = 'failed' AND updated_ms >= $1 THEN 1 ELSE 0 END), 0) "
                     "FROM outbox WHERE updated_ms >= $1",
                     Params(sinceMs));
      const auto row = result.row(0);
      return ActivityCounts{row.integer(0), row.integer(1), row.integer(2)};
    });
  }

  // ---- USSD ----
  std::int64_t enqueueUssd(const UssdRequest& r) override {
    // A unit run twice (its answer lost after the commit) finds its row by key.
    const std::string key = randomKey();
    return write([&] {
      auto existing = run("SELECT id FROM ussd_requests WHERE lease_owner = $1 AND status = 'queued'", Params("key:" + key));
      if (existing.size() == 1) return existing.row(0).integer(0);
      const auto now = this->now();
      const auto id = run("INSERT INTO ussd_requests (modem, tag, code, replies, status, lease_owner, created_ms, updated_ms) "
                          "VALUES ($1, $2, $3, $4, 'queued', $5, $6, $6) RETURNING id",
                          Params(r.modem, r.tag, r.code, nlohmann::json(r.replies).dump(), "key:" + key, now))
                          .row(0)
                          .integer(0);
      conn_->announceNewWork();
      return id;
    });
  }

  std::optional<UssdRequest> ussdRequest(std::int64_t id) override {
    return read([&](Connection& c) { return readUssd(c, id); });
  }

  std::optional<UssdRequest> claimUssd(const std::string& worker, const std::string& modem, Lease lease) override {
    return write([&]() -> std::optional<UssdRequest> {
      const auto now = this->now();
      auto cutShort = run("UPDATE ussd_requests SET status = 'failed', error = $1, updated_ms = $2 "
                          "WHERE status = 'running' AND lease_until < $2 RETURNING id",
                          Params(std::string("the gateway stopped during the session; not run again"), now));
      for (int i = 0; i < cutShort.size(); ++i) queueUssdEvent(cutShort.row(i).integer(0));
      auto own = run("SELECT id FROM ussd_requests WHERE status = 'running' AND lease_owner = $1 AND ran_on = $2",
                     Params(worker, modem));
      if (own.size() == 1) return readUssd(*conn_, own.row(0).integer(0));  // an earlier run of this claim
      auto pick = run(std::string("SELECT id FROM ussd_requests WHERE status = 'queued' AND (modem = $1 OR "
                                  "(modem = '' AND tag IN (SELECT tag FROM modem_tags WHERE modem = $1))) "
                                  "ORDER BY id LIMIT 1") + conn_->skipLocked(),
                      Params(modem));
      if (pick.size() == 0) return std::nullopt;
      const auto id = pick.row(0).integer(0);
      run("UPDATE ussd_requests SET status = 'running', ran_on = $1, lease_owner = $2, lease_until = $3, updated_ms = $4 "
          "WHERE id = $5",
          Params(modem, worker, now + lease.count(), now, id));
      return readUssd(*conn_, id);
    });
  }

  bool finishUssd(std::int64_t id, const std::string& worker, const std::vector<UssdAnswerRecord>& answers,
                  const std::string& error) override {
    const std::string list = ussdAnswersJson(answers);
    return write([&] {
      auto ended = run("UPDATE ussd_requests SET status = $1, answers = $2, error = $3, updated_ms = $4 "
                       "WHERE id = $5 AND status = 'running' AND lease_owner = $6",
                       Params(error.empty() ? "done" : "failed", list, error, now(), id, worker));
      if (ended.affected != 1)
        return run("SELECT 1 FROM ussd_requests WHERE id = $1 AND lease_owner = $2 AND status IN ('done', 'failed')",
                   Params(id, worker))
                   .size() == 1;
      queueUssdEvent(id);
      return true;
    });
  }

  void addEvent(const std::string& event, const std::string& body) override {
    const auto parsed = nlohmann::json::parse(body);
    write([&] { queueEvent(event, parsed); });
  }

  void watchEvents(EventCallback callback) override {
    {
      std::lock_guard lock(mu_);  // commits hand events over under it
      onEvent_ = callback;
    }
    conn_->watchEvents(std::move(callback));
  }

 private:
  // ---- USSD ----
  static std::optional<UssdRequest> readUssd(Connection& c, std::int64_t id) {
    auto select = run(c,
                      "SELECT id, modem, tag, code, replies, status, answers, error, ran_on, created_ms, updated_ms "
                      "FROM ussd_requests WHERE id = $1",
                      Params(id));
    if (select.size() == 0) return std::nullopt;
    const auto row = select.row(0);
    UssdRequest r;
    r.id = row.integer(0);
    r.modem = row.text(1);
    r.tag = row.text(2);
    r.code = row.text(3);
    r.replies = nlohmann::json::parse(row.text(4)).get<std::vector<std::string>>();
    r.status = row.text(5);
    for (const auto& a : nlohmann::json::parse(row.text(6)))
      r.answers.push_back({a.at("status"), a.at("text"), a.at("dcs").is_null() ? -1 : a.at("dcs").get<int>(), a.at("at")});
    r.error = row.text(7);
    r.ranOn = row.text(8);
    r.createdMs = row.integer(9);
    r.updatedMs = row.integer(10);
    return r;
  }
  // The "ussd" event of a finished request, inside the write.
  void queueUssdEvent(std::int64_t id) {
    const auto r = readUssd(*conn_, id);
    if (!r) return;
    nlohmann::json body{{"id", r->id},
                        {"modem", r->ranOn},
                        {"code", r->code},
                        {"status", r->status},
                        {"answers", nlohmann::json::parse(ussdAnswersJson(r->answers))}};
    if (!r->error.empty()) body["error"] = r->error;
    queueEvent("ussd", body);
  }

  // NOTIFY carries at most 8000 bytes: a longer event goes with its id
  // only, and the watcher reads the rest.
  static constexpr std::size_t kMaxAnnouncedBytes = 7000;

  // Inside the transaction: the engine's NOTIFY, or kept for after the commit.
  void announceEvent(const std::string& event, const nlohmann::json& body) {
    std::string text = body.dump();
    if (text.size() > kMaxAnnouncedBytes) text = nlohmann::json{{"id", body.value("id", 0)}, {"truncated", true}}.dump();
    if (!conn_->announceEvent(event, text) && onEvent_) uncommittedEvents_.emplace_back(event, std::move(text));
  }
  void deliverCommittedEvents() {
    auto events = std::move(uncommittedEvents_);
    uncommittedEvents_.clear();
    if (!onEvent_) return;
    for (const auto& [event, body] : events) onEvent_(event, body);
  }
  EventCallback onEvent_;  // under mu_
  std::vector<std::pair<std::string, std::string>> uncommittedEvents_;  // under mu_

  // ---- Incoming calls ------------------------------------------------------------
 public:
  std::int64_t addCall(const CallRecord& call) override {
    // Of the call itself, not random: a worker that stores a call again
    // after a commit whose answer was lost finds the first row.
    const std::string key = call.modem + "\n" + std::to_string(call.atMs) + "\n" + call.number;
    return write([&] {
      auto inserted = run(
          "INSERT INTO calls (modem, number, at_ms, rejected, call_key) VALUES ($1, $2, $3, $4, $5) "
          "ON CONFLICT (call_key) DO NOTHING RETURNING id",
          Params(call.modem, call.number, call.atMs, call.rejected ? 1 : 0, key));
      // Nothing inserted: this unit ran before and its commit went through.
      if (inserted.size() == 0) return run("SELECT id FROM calls WHERE call_key = $1", Params(key)).row(0).integer(0);
      const std::int64_t id = inserted.row(0).integer(0);
      queueEvent("call", nlohmann::json{{"id", id}, {"modem", call.modem}, {"number", call.number},
                                        {"at", isoTime(call.atMs)}, {"rejected", call.rejected}},
                 call.atMs);
      return id;
    });
  }

  std::vector<CallRecord> calls(std::optional<std::int64_t> beforeId, int limit) override {
    const Result found = read([&](Connection& c) {
      return run(c,
                 "SELECT id, modem, number, at_ms, rejected FROM calls "
                 "WHERE (CAST($1 AS BIGINT) IS NULL OR id < $1) ORDER BY id DESC LIMIT $2",
                 Params(beforeId, limit));
    });
    std::vector<CallRecord> list(static_cast<std::size_t>(found.size()));
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto row = found.row(static_cast<int>(i));
      list[i] = {row.integer(0), row.text(1), row.text(2), row.integer(3), row.integer(4) != 0};
    }
    return list;
  }

};

}  // namespace

std::unique_ptr<Store> makeSqlStore(std::unique_ptr<Connection> writer, std::unique_ptr<Connection> reader, Clock now,
                                    std::unique_ptr<Connection> stats) {
  return std::make_unique<SqlStore>(std::move(writer), std::move(reader), std::move(stats), std::move(now));
}

int schemaVersion() { return kSchemaVersion; }

}  // namespace reviri::gateway::sql
