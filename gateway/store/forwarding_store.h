// gateway/store/forwarding_store.h - a Store that hands every call to
// another one; derive from it to change a few methods (fault injection in
// tests, gates in benchmarks) without restating the rest.
//
// Threading: as safe as the inner store.
#ifndef REVIRI_GATEWAY_STORE_FORWARDING_STORE_H_
#define REVIRI_GATEWAY_STORE_FORWARDING_STORE_H_

#include "gateway/store/store.h"

namespace reviri::gateway {

class ForwardingStore : public Store {
 public:
  explicit ForwardingStore(Store& inner) : inner_(inner) {}

  void setWebhookUrls(std::vector<std::string> urls) override { inner_.setWebhookUrls(std::move(urls)); }
  EnqueueResult enqueue(const NewMessage& m) override { return inner_.enqueue(m); }
  std::optional<MessageRecord> message(std::int64_t id) override { return inner_.message(id); }
  std::vector<MessageRecord> messages(std::optional<Status> status, int limit, const std::string& reference) override {
    return inner_.messages(status, limit, reference);
  }
  std::optional<MessageRecord> claim(const std::string& worker, const std::string& modem, Lease lease) override {
    return inner_.claim(worker, modem, lease);
  }
  bool renew(std::int64_t id, const std::string& worker, Lease lease) override {
    return inner_.renew(id, worker, lease);
  }
  bool confirmParts(std::int64_t id, const std::string& worker, int firstPart, const std::vector<int>& references,
                    Lease lease) override {
    return inner_.confirmParts(id, worker, firstPart, references, lease);
  }
  bool finishSent(std::int64_t id, const std::string& worker, const std::vector<int>& references) override {
    return inner_.finishSent(id, worker, references);
  }
  SentAndNext finishSentAndClaim(std::int64_t id, const std::string& worker, const std::vector<int>& references,
                                 const std::string& modem, Lease lease) override {
    return inner_.finishSentAndClaim(id, worker, references, modem, lease);
  }
  bool finishFailed(std::int64_t id, const std::string& worker, const std::string& error, std::optional<int> errorCode,
                    std::optional<Lease> retryAfter) override {
    return inner_.finishFailed(id, worker, error, errorCode, retryAfter);
  }
  bool release(std::int64_t id, const std::string& worker, const std::string& reason, bool pduMayBeOut,
               bool attempted) override {
    return inner_.release(id, worker, reason, pduMayBeOut, attempted);
  }
  std::optional<std::int64_t> addReport(const std::string& modem, int reference, const std::string& recipient,
                                        int statusCode, const std::string& dischargedAt) override {
    return inner_.addReport(modem, reference, recipient, statusCode, dischargedAt);
  }
  InboxResult addInbox(const InboxMessage& m) override { return inner_.addInbox(m); }
  std::vector<InboxMessage> inbox(std::int64_t after, int limit) override { return inner_.inbox(after, limit); }
  bool deleteInbox(std::int64_t id) override { return inner_.deleteInbox(id); }
  void forgetInboxKey(std::int64_t id) override { inner_.forgetInboxKey(id); }
  void watchInbox(std::function<void()> callback) override { inner_.watchInbox(std::move(callback)); }
  std::int64_t enqueueWebhook(const std::string& url, const std::string& event, const std::string& body) override {
    return inner_.enqueueWebhook(url, event, body);
  }
  std::optional<WebhookDelivery> claimWebhook(const std::string& url, Lease lease) override {
    return inner_.claimWebhook(url, lease);
  }
  void finishWebhook(std::int64_t id, bool delivered, const std::string& error,
                     std::optional<Lease> retryAfter) override {
    inner_.finishWebhook(id, delivered, error, retryAfter);
  }
  std::optional<std::chrono::milliseconds> nextWebhookDueIn(const std::string& url) override {
    return inner_.nextWebhookDueIn(url);
  }
  void touchWebhookUrls(const std::vector<std::string>& urls) override { inner_.touchWebhookUrls(urls); }
  std::vector<WebhookDelivery> abandonUnservedWebhooks(Lease unservedFor, const std::string& reason) override {
    return inner_.abandonUnservedWebhooks(unservedFor, reason);
  }
  WebhookCounts webhookCounts() override { return inner_.webhookCounts(); }
  std::optional<ModemNameHolder> claimModemNames(const std::vector<std::string>& names, const std::string& owner,
                                                 Lease staleAfter) override {
    return inner_.claimModemNames(names, owner, staleAfter);
  }
  int renewModemNames(const std::string& owner) override { return inner_.renewModemNames(owner); }
  void releaseModemNames(const std::string& owner) override { inner_.releaseModemNames(owner); }
  void watchNewWork(std::function<void()> callback) override { inner_.watchNewWork(std::move(callback)); }
  StoreCounts counts() override { return inner_.counts(); }
  void ping() override { inner_.ping(); }
  std::optional<std::chrono::milliseconds> nextDueIn() override { return inner_.nextDueIn(); }
  CancelResult cancel(std::int64_t id) override { return inner_.cancel(id); }
  BatchResult enqueueBatch(const std::vector<NewMessage>& messages) override { return inner_.enqueueBatch(messages); }
  bool addApiKey(const std::string& name, const std::string& digest, const std::vector<std::string>& scopes) override {
    return inner_.addApiKey(name, digest, scopes);
  }
  std::vector<ApiKey> apiKeys() override { return inner_.apiKeys(); }
  bool revokeApiKey(const std::string& name) override { return inner_.revokeApiKey(name); }
  std::optional<ApiKey> apiKeyByDigest(const std::string& digest) override { return inner_.apiKeyByDigest(digest); }
  // Modem farms.
  void registerModems(const std::vector<ModemProfile>& modems) override { inner_.registerModems(modems); }
  bool setModemLimits(const std::string& name, const ModemLimits& limits) override {
    return inner_.setModemLimits(name, limits);
  }
  std::vector<ModemUsage> modemUsage() override { return inner_.modemUsage(); }
  bool knownModem(const std::string& modem) override { return inner_.knownModem(modem); }
  bool knownTag(const std::string& tag) override { return inner_.knownTag(tag); }
  std::optional<std::chrono::milliseconds> nextClaimIn(const std::string& modem) override {
    return inner_.nextClaimIn(modem);
  }
  void modemUnavailable(const std::string& modem) override { inner_.modemUnavailable(modem); }
  Purged purgeOnce(Lease retain, int rows) override { return inner_.purgeOnce(retain, rows); }
  void setMqttTarget(std::string target) override { inner_.setMqttTarget(std::move(target)); }
  std::vector<MqttEvent> claimMqttEvents(const std::string& target, const std::string& owner, int limit,
                                         Lease lease) override {
    return inner_.claimMqttEvents(target, owner, limit, lease);
  }
  void renewMqttEvents(const std::vector<std::int64_t>& ids, Lease lease) override {
    inner_.renewMqttEvents(ids, lease);
  }
  void finishMqttEvents(const std::vector<std::int64_t>& ids) override { inner_.finishMqttEvents(ids); }
  void releaseMqttEvents(const std::string& owner) override { inner_.releaseMqttEvents(owner); }
  void watchEvents(EventCallback callback) override { inner_.watchEvents(std::move(callback)); }
  std::vector<MessageRecord> messagePage(const MessageFilter& filter) override { return inner_.messagePage(filter); }
  std::vector<Conversation> conversations(int limit) override { return inner_.conversations(limit); }
  std::vector<ThreadEntry> conversation(const std::string& number, int limit) override {
    return inner_.conversation(number, limit);
  }
  ActivityCounts activitySince(std::int64_t sinceMs) override { return inner_.activitySince(sinceMs); }
  std::vector<InboxMessage> latestInbox(int limit) override { return inner_.latestInbox(limit); }

  // ---- USSD ----
  std::int64_t enqueueUssd(const UssdRequest& r) override { return inner_.enqueueUssd(r); }
  std::optional<UssdRequest> ussdRequest(std::int64_t id) override { return inner_.ussdRequest(id); }
  std::optional<UssdRequest> claimUssd(const std::string& worker, const std::string& modem, Lease lease) override {
    return inner_.claimUssd(worker, modem, lease);
  }
  bool finishUssd(std::int64_t id, const std::string& worker, const std::vector<UssdAnswerRecord>& answers,
                  const std::string& error) override {
    return inner_.finishUssd(id, worker, answers, error);
  }
  void addEvent(const std::string& event, const std::string& body) override { inner_.addEvent(event, body); }

  // Incoming calls.
  std::int64_t addCall(const CallRecord& call) override { return inner_.addCall(call); }
  std::vector<CallRecord> calls(std::optional<std::int64_t> beforeId, int limit) override {
    return inner_.calls(beforeId, limit);
  }

 protected:
  Store& inner_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_STORE_FORWARDING_STORE_H_
