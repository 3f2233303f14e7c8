// gateway/mqtt.h - the gateway on an MQTT broker (libmosquitto, MQTT 5):
//
//   PREFIX/inbox           an incoming message (the object GET /v1/inbox gives)
//   PREFIX/status          a message's status change (the webhook's body)
//   PREFIX/report          a delivery report (the webhook's body)
//   PREFIX/call            an incoming call (the object GET /v1/calls gives)
//   PREFIX/modems/NAME     a modem's state, retained
//   PREFIX/availability    "online" / "offline", retained; "offline" is the last will
//   PREFIX/send            messages to send (the JSON of POST /v1/messages)
//   PREFIX/send/result     the answers: {"id","status"} or the API's error
//                          object, with the request's correlation data (MQTT 5,
//                          to its response topic when it gives one) or its
//                          "request_id" (MQTT 3.1.1)
//   homeassistant/...      Home Assistant discovery, retained
//
// At least once: the events are rows of the store's MQTT outbox, written
// in the transaction of the change; a row is published with QoS 1 and
// deleted only when the broker acknowledged it. The session is persistent
// (fixed client id, clean start off, a session expiry), so requests sent
// while the gateway is away wait at the broker. A request with correlation
// data or a request_id is idempotent by it: a redelivered PUBLISH queues
// nothing twice.
//
// Threading: two threads of its own. The network thread owns the
// connection (connects, reconnects with back-off, runs libmosquitto's loop
// and its callbacks, answers PREFIX/send); the publisher thread talks to
// the store (claims, renews and finishes outbox rows) and publishes events
// and states. wake() is thread-safe; start() and stop() from one thread.
#ifndef REVIRI_GATEWAY_MQTT_H_
#define REVIRI_GATEWAY_MQTT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/event_log.h"
#include "gateway/modem_board.h"
#include "gateway/signal.h"
#include "gateway/store/store.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace reviri::gateway {

// What the command line (--mqtt, --mqtt-ca) and the configuration file's
// [mqtt] table (url, ca_file, client_id) fill.
struct MqttOptions {
  std::string url;       // mqtt[s]://[user[:password]@]host[:port][/prefix]; "" = off
  std::string caFile;    // mqtts: the CA certificates to trust ("" = the system's)
  std::string clientId;  // "" = "reviri-<host name>": fixed, so the broker keeps the session
  std::string discoveryPrefix = "homeassistant";
  std::size_t maxBodyBytes = 64 * 1024;  // of a PREFIX/send request
  std::chrono::milliseconds lease{60000};  // an unacknowledged row's, renewed while it waits
  // How often modem states are compared and the outbox is looked at
  // without a wake (rows of other gateways sharing the database).
  std::chrono::milliseconds stateCheck{1000};
  std::chrono::milliseconds outboxCheck{5000};
  std::chrono::milliseconds firstBackoff{1000}, maxBackoff{30000};
  int keepAliveSeconds = 30;
};

// An MQTT URL taken apart.
struct MqttUrl {
  bool tls = false;
  std::string user, password;
  std::string host;
  int port = 0;
  std::string prefix;  // "reviri" when the URL has no path
  // Broker and prefix without the credentials: the outbox rows' target.
  std::string target() const;
};
// Throws std::invalid_argument naming the URL (without its password) and
// what is wrong with it.
MqttUrl parseMqttUrl(const std::string& url);

// What MQTT shares with the rest of the gateway.
struct MqttContext {
  Store& store;
  ModemBoard& board;
  Signal& work;  // notified when a message is queued
  EventLog& log;
  const std::vector<RouteConfig>& routes;  // as POST /v1/messages routes
};

class Mqtt {
 public:
  // Throws std::invalid_argument for a bad URL.
  Mqtt(MqttContext context, MqttOptions options);
  ~Mqtt();
  Mqtt(const Mqtt&) = delete;
  Mqtt& operator=(const Mqtt&) = delete;

  // Events were written to the store.
  void wake();
  void start();
  // Publishes the last states and "offline", then disconnects.
  void stop();
  bool connected() const { return connected_; }

 private:
  struct InFlight {
    std::int64_t row = 0;
    std::uint64_t connection = 0;
  };
  struct Ack {
    int mid = 0;
    std::uint64_t connection = 0;
  };

  // Network thread.
  void runNetwork();
  bool connect();
  void waitBackoff();
  void dropConnection(const std::string& why);
  void closeGracefully();
  void onConnect(int reason);
  void onPublish(int mid, int reason);
  void onRequest(const mosquitto_message& message, const mosquitto_property* properties);
  // Publisher thread.
  void runPublisher();
  void publishRound(bool outboxDue);
  void forgetLostPublications();
  void finishAcknowledged();
  void publishStates();
  void publishDiscovery(const std::string& modem);
  bool publishEvents();
  void renewIfDue();
  // Under clientMu_; the mid, or 0 when the connection is gone.
  int publish(const std::string& topic, const std::string& payload, bool retain,
              const mosquitto_property* properties = nullptr);

  MqttContext ctx_;
  MqttOptions options_;
  MqttUrl url_;
  std::string clientId_;
  std::string availabilityTopic_;

  std::mutex clientMu_;  // the client's life: created and destroyed under it, used under it by the publisher
  mosquitto* client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<std::uint64_t> connection_{0};  // counts connections made
  std::atomic<bool> stopping_{false};
  std::atomic<bool> publisherDone_{false};
  std::chrono::milliseconds backoff_;
  std::string lastFailure_;
  int offlineMid_ = 0;
  std::atomic<bool> offlineAcked_{false};

  std::mutex mu_;  // what the publisher is told
  std::condition_variable cv_;
  bool woken_ = false;
  std::vector<Ack> acks_;
  std::atomic<bool> announce_{false};  // a new connection: states and discovery again

  // Publisher thread only.
  std::map<int, InFlight> inFlight_;  // by mid
  std::map<std::string, std::string> publishedStates_;
  std::set<std::string> discovered_;
  std::chrono::steady_clock::time_point renewDue_{};

  std::thread network_, publisher_;
  bool started_ = false;
};

// The PREFIX/modems/NAME payload: the modem as GET /v1/modems gives it,
// with its signal in dBm (null when unknown).
std::string modemStatePayload(const ModemState& modem);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MQTT_H_
