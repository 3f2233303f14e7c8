// gateway/gateway.h - the gateway as one object: the shared store, the HTTP
// API, the webhook sender and one worker per modem.
//
//   Gateway gw(store, {{"usb0", typedModemPortFactory(target)}}, options);
//   gw.start();           // serving on options.host:options.port
//   ...
//   gw.stop();            // drains: every worker stops claiming at once, the
//                         // sends in flight finish in parallel
//
// Threading: start() and stop() from one thread; the parts run their own.
#ifndef REVIRI_GATEWAY_GATEWAY_H_
#define REVIRI_GATEWAY_GATEWAY_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/event_log.h"
#include "gateway/http_api.h"
#include "gateway/lease_keeper.h"
#include "gateway/modem_board.h"
#include "gateway/modem_port.h"
#include "gateway/retention.h"
#include "gateway/mqtt.h"
#include "gateway/signal.h"
#include "gateway/webhooks.h"
#include "gateway/worker.h"

namespace reviri::gateway {

struct NamedModem {
  NamedModem(std::string name, ModemPortFactory factory, std::vector<std::string> tags = {}, ModemLimits limits = {})
      : name(std::move(name)), factory(std::move(factory)), tags(std::move(tags)), limits(limits) {}
  std::string name;
  ModemPortFactory factory;
  std::vector<std::string> tags;  // what messages and routes choose it by
  ModemLimits limits;             // as the configuration file gives them
  std::optional<BalanceCheck> balance;  // USSD: the periodic balance check
};

struct GatewayOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0 = any free port
  ApiOptions api;
  WebhookOptions webhooks;
  WorkerOptions worker;  // name and worker are set per modem
  RetentionOptions retention;
  std::string instance;  // prefix of lease owners, unique per process (host:pid)
  // ---- Modem farms ----
  std::vector<RouteConfig> routes;  // number prefix -> tag
  std::string timeZone;             // of limit windows and sending hours; "" = the system's
  MqttOptions mqtt;      // url "" = no MQTT
};

class Gateway {
 public:
  Gateway(Store& store, std::vector<NamedModem> modems, GatewayOptions options, EventLog& log);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Binds the API and starts every thread; returns the port it listens on.
  // Throws std::runtime_error when the address cannot be bound.
  int start();
  void stop();

  ModemBoard& board() { return board_; }
  // Wakes the idle workers, as a message queued through the API does (for
  // messages put into the store directly).
  void wakeWorkers() { work_.notify(); }
  bool connectedToMqtt() const { return mqtt_ && mqtt_->connected(); }

 private:
  Store& store_;
  EventLog& log_;
  GatewayOptions options_;
  ModemBoard board_;
  Signal work_, inbox_;
  Webhooks webhooks_;
  LeaseKeeper leases_;
  Retention retention_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Store::ModemProfile> profiles_;
  std::unique_ptr<HttpApi> api_;
  Signal events_;               // the workers wrote events
  std::unique_ptr<Mqtt> mqtt_;  // null without --mqtt
  bool running_ = false;
};

// A lease-owner prefix unique to this process: "hostname:pid".
std::string defaultInstanceName();

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_GATEWAY_H_
