// gateway/store/store.h - the gateway's durable store: outbox, inbox,
// delivery reports and webhook deliveries behind one small interface.
//
// Every method is one transaction: when it returns, its change is committed
// (or, for the read methods, it saw one consistent state). Claiming hands the
// oldest due message to one worker under a lease; a lease that runs out
// (its gateway died or hung) makes the message claimable again, and when
// its PDU may already have reached a modem its history says "possibly
// duplicated". Times are milliseconds since the Unix epoch from the store's
// clock: the database server's on PostgreSQL, so that hosts whose clocks
// disagree still agree on leases, due times and expiry; the injected one on
// SQLite, so tests can move time on without sleeping.
//
// Every write may run twice: when a shared commit fails, or its answer is
// lost after the server committed, each unit runs again alone. Each unit
// therefore finds its own work already done by its own key (the request's
// key, the lease holder, the report's key) instead of doing it twice.
//
// Threading: implementations are safe to call from any number of threads
// (the HTTP server's and every worker's) and, through the database, from
// other processes sharing it.
#ifndef REVIRI_GATEWAY_STORE_STORE_H_
#define REVIRI_GATEWAY_STORE_STORE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace reviri::gateway {

enum class Status { kQueued, kSending, kSent, kDelivered, kFailed, kExpired, kCanceled };
const char* statusName(Status status);
// Throws std::invalid_argument for an unknown name.
Status statusFromName(const std::string& name);

// A message as accepted over the API, already validated.
struct NewMessage {
  std::string to;
  std::string text;
  std::string coding = "auto";  // auto | 7bit | ucs2
  bool flash = false;
  bool report = false;
  std::optional<int> validityMinutes;  // expires when not sent by then
  int parts = 1;                       // parts the text takes
  std::string reference;               // the client's own reference, echoed in every event ("" = none)
  // The client's Idempotency-Key ("" = none) and a digest of the request it
  // came with: the same key with another request is refused.
  std::string idempotencyKey;
  std::string requestDigest;
  // ---- Modem farms ----
  std::string modem;  // only this modem may send it ("" = any)
  std::string tag;    // only a modem with this tag ("" = any); routes fill it
  bool high = false;  // the urgent lane: before due normal messages, within high_per_hour
  std::optional<std::int64_t> sendAtMs;  // not claimed before (scheduled)
};

// What enqueue() did.
struct EnqueueResult {
  std::int64_t id = 0;
  // An earlier request with the same idempotency key queued this message;
  // nothing new was queued.
  bool replayed = false;
  // The key was used with another request (nothing queued, id is 0).
  bool keyConflict = false;
};

// A daily sending window in minutes after local midnight; it wraps past
// midnight when `end` is not after `start` ("22:00-06:00").
struct SendingHours {
  int start = 0, end = 0;
  bool contains(int minuteOfDay) const {
    return start < end ? minuteOfDay >= start && minuteOfDay < end : minuteOfDay >= start || minuteOfDay < end;
  }
  bool operator==(const SendingHours&) const = default;
};

// A modem's limits, kept in the store so that every gateway sharing it
// enforces the same; an empty one is no limit. Counts are in parts; the
// windows are the local hour, day and month of the gateway's time zone.
struct ModemLimits {
  std::optional<std::chrono::milliseconds> minGap, jitter;
  std::optional<std::int64_t> perHour, perDay, perMonth, recipientsPerMonth, highPerHour;
  std::optional<SendingHours> hours;
  bool operator==(const ModemLimits&) const = default;
};

struct PartRecord {
  int index = 0;                  // 1-based
  std::optional<int> reference;   // message reference the modem gave
  std::optional<int> reportCode;  // TP-Status of its delivery report
};

struct HistoryEntry {
  std::int64_t atMs = 0;
  std::string event;  // queued, claimed, sent, retry, released, failed, possibly duplicated, ...
  std::string detail;
};

struct MessageRecord {
  std::int64_t id = 0;
  NewMessage message;
  Status status = Status::kQueued;
  int attempts = 0;
  std::string modem;  // the modem of the last attempt
  std::int64_t createdMs = 0;
  std::int64_t updatedMs = 0;
  std::int64_t dueMs = 0;
  std::optional<std::int64_t> sentMs;
  std::string lastError;
  std::optional<int> lastErrorCode;
  // Attempts that ended with the PDU possibly at a modem (no confirmation,
  // or a lease that ran out after the PDU was written).
  int maybeSent = 0;
  std::vector<PartRecord> parts;
  std::vector<HistoryEntry> history;  // filled by message(), not by listings
};

struct InboxMessage {
  std::int64_t id = 0;  // assigned by the store
  std::string modem;
  std::string sender;
  std::string text;
  std::string sentAt;  // the service centre time stamp as the modem gave it
  std::int64_t storedMs = 0;
  // The inbox cursor: assigned at commit time in commit order (see inbox()).
  std::int64_t seq = 0;
  // What makes a second reading of the same storage slot the same message
  // (slot, service centre, time stamp, concatenation, text); empty for a
  // message without a slot, which is never taken for a duplicate.
  std::optional<std::string> dedupeKey;
};

struct InboxResult {
  std::int64_t id = 0;
  bool inserted = false;  // false: the same message was already in the inbox
};

struct WebhookDelivery {
  std::int64_t id = 0;
  std::string url;
  std::string event;
  std::string body;
  int attempts = 0;
};

// An event waiting for the MQTT broker's acknowledgement.
struct MqttEvent {
  std::int64_t id = 0;
  std::string event;  // message | status | report
  std::string body;
  std::int64_t createdMs = 0;  // the time of the change (an incoming message's stored time)
};

// ---- USSD ----
// One answer of the network to a USSD request or reply.
struct UssdAnswerRecord {
  std::string status;  // further-action | done | terminated | other-client | not-supported | timeout
  std::string text;
  int dcs = -1;  // -1: the modem gave none
  std::string at;  // when it came, ISO 8601 UTC
};
// The answers as the API and the "ussd" event give them: a JSON array of
// {"status", "text", "dcs" (null when none), "at"}.
std::string ussdAnswersJson(const std::vector<UssdAnswerRecord>& answers);
// The most replies one request may give (menus are seldom deeper).
inline constexpr std::size_t kMostUssdReplies = 7;
// A USSD request (POST /v1/ussd): a code and the replies to give while the
// network asks for more, run on one modem (by name, or any with the tag).
struct UssdRequest {
  std::int64_t id = 0;
  std::string modem, tag, code;
  std::vector<std::string> replies;
  std::string status = "queued";  // queued | running | done | failed
  std::vector<UssdAnswerRecord> answers;
  std::string error;
  std::string ranOn;  // the modem that ran it ("" before)
  std::int64_t createdMs = 0, updatedMs = 0;
};

// An incoming call a modem announced (once per call, however often it rang).
struct CallRecord {
  std::int64_t id = 0;  // assigned by the store
  std::string modem;
  std::string number;     // "" when withheld
  std::int64_t atMs = 0;  // when it first rang
  bool rejected = false;  // hung up by the gateway (reject_calls)
};

struct StoreCounts {
  std::int64_t queued = 0, sending = 0, sent = 0, delivered = 0, failed = 0, expired = 0;
  std::int64_t canceled = 0;
  std::int64_t inbox = 0;
  std::int64_t webhooksPending = 0;
};

// What went wrong inside the database (connection lost, disk full, ...).
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Store {
 public:
  using Lease = std::chrono::milliseconds;
  virtual ~Store() = default;

  // ---- Events ------------------------------------------------------------
  // The webhook URLs: every event (a message received, a status change, a
  // delivery report) is written as one pending delivery per URL in the same
  // transaction as the change itself, so none is ever lost or invented.
  // Call before the first write.
  virtual void setWebhookUrls(std::vector<std::string> urls) = 0;

  // ---- Outbox ------------------------------------------------------------
  // Stores a queued message with its parts; returns its id once committed.
  // With an idempotency key, a second request with the same key within 24
  // hours queues nothing and returns the first one's id (replayed), or says
  // the key was used with another request.
  virtual EnqueueResult enqueue(const NewMessage& message) = 0;
  virtual std::optional<MessageRecord> message(std::int64_t id) = 0;
  // Newest first; all statuses when `status` is empty, every message when
  // `reference` is empty.
  virtual std::vector<MessageRecord> messages(std::optional<Status> status, int limit,
                                              const std::string& reference = "") = 0;

  // Takes a message whose lease expired (a worker died), else the oldest due
  // queued one, for `worker` on `modem`, marking it sending under a lease.
  // Messages past their validity become expired instead. Costs the same
  // however long the queue is. The caller writes the PDU next, so from here
  // until finishSent or release a lost lease means the message may reach
  // the recipient twice: the next claim records it "possibly duplicated".
  virtual std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem,
                                             Lease lease) = 0;
  // The steps that end a lease (finishSent, finishFailed, release) are
  // idempotent: true when `worker`'s lease ended that way, now or in an
  // earlier call whose answer was lost; false when another holds it.
  //
  // Extends the lease; false when `worker` no longer holds it.
  virtual bool renew(std::int64_t id, const std::string& worker, Lease lease) = 0;
  // Records the parts the modem accepted so far (`references` for parts
  // `firstPart`, `firstPart` + 1, ...) and extends the lease, in one step
  // taken before the next part is written: a later attempt then sends only
  // the parts not yet accepted. False when `worker` no longer holds the
  // lease: nothing more may be written.
  virtual bool confirmParts(std::int64_t id, const std::string& worker, int firstPart,
                            const std::vector<int>& references, Lease lease) = 0;
  // The modem accepted every part; `references` are the parts' references.
  // False when `worker` no longer holds the lease.
  virtual bool finishSent(std::int64_t id, const std::string& worker, const std::vector<int>& references) = 0;
  // finishSent, then claim for the same worker, in one transaction: a worker
  // that keeps sending commits once per message.
  struct SentAndNext {
    bool recorded = false;  // what finishSent returned
    std::optional<MessageRecord> next;
  };
  virtual SentAndNext finishSentAndClaim(std::int64_t id, const std::string& worker,
                                         const std::vector<int>& references, const std::string& modem,
                                         Lease lease) {
    SentAndNext result;
    result.recorded = finishSent(id, worker, references);
    result.next = claim(worker, modem, lease);
    return result;
  }
  // The attempt failed. With `retryAfter` the message is queued again for
  // then; without it (or when the modem refused for good) it is failed.
  virtual bool finishFailed(std::int64_t id, const std::string& worker, const std::string& error,
                            std::optional<int> errorCode, std::optional<Lease> retryAfter) = 0;
  // Gives the message back to the queue (modem down, draining); `reason`
  // goes to its history. `pduMayBeOut` says the PDU may have reached the
  // modem, so that the next attempt is recorded as possibly duplicated;
  // false says it surely did not.
  // `attempted` false gives back a message that was claimed but never tried
  // (the gateway is stopping): the attempt is not counted.
  virtual bool release(std::int64_t id, const std::string& worker, const std::string& reason,
                       bool pduMayBeOut, bool attempted = true) = 0;

  // ---- Delivery reports --------------------------------------------------
  // Files a status report for the part `modem` sent under `reference` to
  // `recipient`: the most recent such part sent within kReportWindow. A
  // report that matches no part is kept as unmatched and changes nothing.
  // Returns the message it belongs to, if any.
  virtual std::optional<std::int64_t> addReport(const std::string& modem, int reference,
                                                const std::string& recipient, int statusCode,
                                                const std::string& dischargedAt) = 0;

  // ---- Inbox -------------------------------------------------------------
  // Stores a whole incoming message unless one with the same modem and
  // dedupeKey is there (the same slot read again after a crash between
  // storing and deleting it). Inbox writers take turns on a counter row, so
  // `seq` numbers rows in commit order, across processes too.
  virtual InboxResult addInbox(const InboxMessage& message) = 0;
  // Oldest first, seq above `after`: a reader following the last seq it
  // saw never skips a row committed later.
  virtual std::vector<InboxMessage> inbox(std::int64_t after, int limit) = 0;
  virtual bool deleteInbox(std::int64_t id) = 0;
  // The message's storage slot was deleted: the slot may now hold a new
  // message with the same key, which must not be taken for a duplicate.
  virtual void forgetInboxKey(std::int64_t id) = 0;
  // Calls `callback` (on a thread of the store's) whenever another process
  // sharing the database stores an incoming message (long polls); SQLite
  // never calls it.
  virtual void watchInbox(std::function<void()> callback) { (void)callback; }

  // ---- Webhooks ----------------------------------------------------------
  // A delivery belongs to its URL: each gateway sends only the rows of the
  // URLs it is configured with, so gateways with different URLs can share
  // the database without sending each other's rows.
  virtual std::int64_t enqueueWebhook(const std::string& url, const std::string& event,
                                      const std::string& body) = 0;
  // The oldest pending delivery to `url` that is due, leased for `lease`.
  virtual std::optional<WebhookDelivery> claimWebhook(const std::string& url, Lease lease) = 0;
  // Done, or tried again after `retryAfter` (given up when empty).
  virtual void finishWebhook(std::int64_t id, bool delivered, const std::string& error,
                             std::optional<Lease> retryAfter) = 0;
  // When the earliest pending delivery to `url` is due (a retry, or a lease
  // that runs out); empty when none is pending.
  virtual std::optional<std::chrono::milliseconds> nextWebhookDueIn(const std::string& url) = 0;
  // Notes that a gateway serves `urls` now.
  virtual void touchWebhookUrls(const std::vector<std::string>& urls) = 0;
  // Gives up (status abandoned, `reason` as the error) the pending
  // deliveries older than `unservedFor` whose URL no gateway has served
  // (touchWebhookUrls) for that long; returns them.
  virtual std::vector<WebhookDelivery> abandonUnservedWebhooks(Lease unservedFor, const std::string& reason) = 0;
  struct WebhookCounts {
    std::int64_t pending = 0, abandoned = 0;
  };
  virtual WebhookCounts webhookCounts() = 0;

  // ---- Modem farms (routing and limits) ------------------------------------
  // A modem as a gateway serves it: its tags and the limits its
  // configuration file gives.
  struct ModemProfile {
    std::string name;
    std::vector<std::string> tags;
    ModemLimits limits;
  };
  // Records this gateway's modems. Tags are replaced; limits are taken from
  // the profile only when it differs from what the file said at the last
  // start, so a limit set at run time (setModemLimits) survives a restart
  // and an edited file still takes effect.
  virtual void registerModems(const std::vector<ModemProfile>& modems) = 0;
  // False when no gateway ever registered `name`.
  virtual bool setModemLimits(const std::string& name, const ModemLimits& limits) = 0;
  // What a modem may still send in the current windows.
  struct ModemUsage {
    std::string name;
    std::vector<std::string> tags;
    ModemLimits limits;
    std::int64_t usedHour = 0, usedDay = 0, usedMonth = 0, recipientsMonth = 0, highHour = 0;
  };
  virtual std::vector<ModemUsage> modemUsage() = 0;
  // Whether some registered modem is named `modem` / has `tag`.
  virtual bool knownModem(const std::string& modem) = 0;
  virtual bool knownTag(const std::string& tag) = 0;
  // How long until `modem` may find work: the earliest due message it may
  // take, or later when its gap, hours or limits hold it back; empty when
  // there is nothing for it.
  virtual std::optional<std::chrono::milliseconds> nextClaimIn(const std::string& modem) = 0;
  // `modem` went down or stopped: other modems stop leaving work to it.
  virtual void modemUnavailable(const std::string& modem) = 0;

  // Calls `callback` (on a thread of the store's) whenever another process
  // sharing the database queues a message. Engines that cannot tell (SQLite)
  // never call it; workers then find such messages at their idle check.
  virtual void watchNewWork(std::function<void()> callback) { (void)callback; }

  // Messages by status: reads every message's index entry, so it is for
  // metrics, not for a health check.
  virtual StoreCounts counts() = 0;
  // Throws StoreError when the database does not answer.
  virtual void ping() = 0;
  // How long until the next queued message that is not due yet (a retry)
  // falls due, by the store's clock; zero when one is due already.
  virtual std::optional<std::chrono::milliseconds> nextDueIn() = 0;

  // ---- Modem names -------------------------------------------------------
  // Delivery reports are matched by modem name, so a name must belong to
  // one live gateway across the database. A gateway claims its names at
  // start, renews them (heartbeat) while it runs and releases them at stop;
  // a name whose heartbeat is older than `staleAfter` is free again.
  struct ModemNameHolder {
    std::string name;
    std::string owner;
    std::int64_t heartbeatMs = 0;
  };
  // Claims every one of `names` for `owner`, or none: returns the first
  // name another owner holds with a fresh heartbeat.
  virtual std::optional<ModemNameHolder> claimModemNames(const std::vector<std::string>& names,
                                                         const std::string& owner, Lease staleAfter) = 0;
  // Renews `owner`'s names; returns how many it still holds.
  virtual int renewModemNames(const std::string& owner) = 0;
  virtual void releaseModemNames(const std::string& owner) = 0;

  // ---- Cancel, batches, API keys, retention ------------------------------
  // What cancel() found: no such message, or its status after the call
  // (canceled, or the status that kept it from being canceled).
  struct CancelResult {
    bool found = false;
    bool canceled = false;
    Status status = Status::kQueued;
  };
  // Cancels a message that no worker has claimed (queued or scheduled), in
  // one statement with the claim's own condition, so that a claim and a
  // cancel racing for it never both win: a canceled message is never sent.
  virtual CancelResult cancel(std::int64_t id) = 0;

  // Queues every message or none, in one transaction. A message with an
  // idempotency key acts as in enqueue(); a key used with another request
  // queues nothing and names the first such message.
  struct BatchResult {
    std::vector<std::int64_t> ids;  // in the order given
    bool replayed = false;          // every message was queued by an earlier request
    std::optional<std::size_t> keyConflict;
  };
  virtual BatchResult enqueueBatch(const std::vector<NewMessage>& messages) = 0;

  // API keys, kept by the SHA-256 of the key (never the key itself) with
  // their scopes (send, read, admin).
  struct ApiKey {
    std::string name;
    std::vector<std::string> scopes;
    std::int64_t createdMs = 0;
  };
  // False when the name is taken.
  virtual bool addApiKey(const std::string& name, const std::string& digest, const std::vector<std::string>& scopes) = 0;
  // By name.
  virtual std::vector<ApiKey> apiKeys() = 0;
  // False when there is no such key.
  virtual bool revokeApiKey(const std::string& name) = 0;
  virtual std::optional<ApiKey> apiKeyByDigest(const std::string& digest) = 0;

  // Retention: deletes at most `rows` of each kind last changed more than
  // `retain` ago by the store's clock, in one short transaction: final
  // messages (sent, delivered, failed, expired, canceled) with their parts
  // and history, inbox rows deleted through the API (their duplicate keys
  // go with them), delivery reports and delivered webhooks. Call again
  // while any count equals `rows`.
  struct Purged {
    std::int64_t messages = 0, inbox = 0, reports = 0, webhooks = 0;
    std::int64_t calls = 0;  // incoming calls, by the time they rang
    std::int64_t ussd = 0;   // finished USSD requests
  };
  virtual Purged purgeOnce(Lease retain, int rows) = 0;

  // ---- MQTT outbox -------------------------------------------------------
  // The broker and prefix events go to ("" = none): every event is then
  // also written as one row for it in the same transaction as the change,
  // like the webhooks' deliveries. Call before the first write.
  virtual void setMqttTarget(std::string target) = 0;
  // Up to `limit` of `target`'s rows that no live lease holds, oldest
  // first, leased to `owner` for `lease`.
  virtual std::vector<MqttEvent> claimMqttEvents(const std::string& target, const std::string& owner, int limit,
                                                 Lease lease) = 0;
  // Extends the leases of rows still waiting for the broker's answer.
  virtual void renewMqttEvents(const std::vector<std::int64_t>& ids, Lease lease) = 0;
  // The broker acknowledged them: gone.
  virtual void finishMqttEvents(const std::vector<std::int64_t>& ids) = 0;
  // Makes the rows `owner` leased before it restarted due again at once.
  virtual void releaseMqttEvents(const std::string& owner) = 0;

  // ---- Live events (the console) -----------------------------------------
  // Calls `callback` (on a thread of the store's) with every event the
  // store writes for webhooks ("status", "message", "report", "call"; plus "status"
  // with "queued") once its change is committed, whether or not webhook
  // URLs are set. On PostgreSQL they come through NOTIFY, so every gateway
  // sharing the database sees every gateway's events; on SQLite, this
  // process's only. Call before start.
  using EventCallback = std::function<void(const std::string& event, const std::string& body)>;
  virtual void watchEvents(EventCallback callback) { (void)callback; }

  // ---- Console views -----------------------------------------------------
  // Newest first, below `beforeId` when set; `to` matches the recipient
  // exactly ("" = any).
  struct MessageFilter {
    std::optional<Status> status;
    std::string to;
    std::optional<std::int64_t> beforeId;
    int limit = 50;
  };
  virtual std::vector<MessageRecord> messagePage(const MessageFilter& filter) = 0;
  // Numbers messages went to or came from, the most recently active first.
  struct Conversation {
    std::string number;
    std::int64_t lastMs = 0;
    std::string lastText;
    bool lastIncoming = false;
  };
  virtual std::vector<Conversation> conversations(int limit) = 0;
  // The messages to and from `number`, oldest first, the last `limit`.
  struct ThreadEntry {
    bool incoming = false;
    std::int64_t id = 0;
    std::int64_t atMs = 0;
    std::string text;
    std::string status;  // an outgoing message's
    std::string modem;
  };
  virtual std::vector<ThreadEntry> conversation(const std::string& number, int limit) = 0;
  // The last `limit` incoming messages, newest first (deleted ones too).
  virtual std::vector<InboxMessage> latestInbox(int limit) = 0;
  // Outgoing messages sent, delivered and failed since `sinceMs`.
  struct ActivityCounts {
    std::int64_t sent = 0, delivered = 0, failed = 0;
  };
  virtual ActivityCounts activitySince(std::int64_t sinceMs) = 0;

  // ---- USSD ----------------------------------------------------------------
  // Queues a request (see UssdRequest); returns its id once committed.
  virtual std::int64_t enqueueUssd(const UssdRequest& request) = 0;
  virtual std::optional<UssdRequest> ussdRequest(std::int64_t id) = 0;
  // The oldest queued request `modem` may run (named for it, or for a tag it
  // has), marked running for `worker` until `lease` runs out. Requests still
  // running past their lease (their gateway died in the session) are failed
  // first, never run again: a top-up could go through twice.
  virtual std::optional<UssdRequest> claimUssd(const std::string& worker, const std::string& modem, Lease lease) = 0;
  // Done (`error` empty) or failed, with the answers the network gave; the
  // "ussd" event (webhooks, MQTT) is written in the same transaction. False
  // when `worker` no longer holds the request.
  virtual bool finishUssd(std::int64_t id, const std::string& worker, const std::vector<UssdAnswerRecord>& answers,
                          const std::string& error) = 0;
  // ---- Incoming calls ----------------------------------------------------
  // Stores a call and queues its "call" event (webhooks, MQTT) in the same
  // transaction; returns its id. The same call (modem, time and number)
  // stored again, after an answer lost with its commit, is stored once.
  virtual std::int64_t addCall(const CallRecord& call) = 0;
  // Newest first, below `beforeId` when set.
  virtual std::vector<CallRecord> calls(std::optional<std::int64_t> beforeId, int limit) = 0;
  // Writes an event of its own (`body` is a JSON object) for the webhooks,
  // MQTT and the live stream, committed like the others: "modem" when a
  // modem changes state, "balance" when its balance fell below its bound.
  virtual void addEvent(const std::string& event, const std::string& body) = 0;
};

// A delivery report is matched only to a part sent this recently: TP-MR
// has 256 values and wraps within hours on a busy modem.
inline constexpr std::chrono::hours kReportWindow{7 * 24};

using Clock = std::function<std::int64_t()>;
// Milliseconds since the Unix epoch from the system clock.
std::int64_t systemNowMs();
// "2026-12-07T13:55:00.123Z" for milliseconds since the Unix epoch.
std::string isoTime(std::int64_t epochMs);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_STORE_H_
