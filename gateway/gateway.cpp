// gateway/gateway.cpp - assembling and draining the gateway.
#include "gateway/gateway.h"

#include <unistd.h>

#include "gateway/modem_names.h"

namespace reviri::gateway {

Gateway::Gateway(Store& store, std::vector<NamedModem> modems, GatewayOptions options, EventLog& log)
    : store_(store),
      log_(log),
      options_(std::move(options)),
      webhooks_(store, log, options_.webhooks),
      leases_(store, log),
      retention_(store, log, options_.retention) {
  if (options_.instance.empty()) options_.instance = defaultInstanceName();
  store_.setWebhookUrls(options_.webhooks.urls);
  for (const auto& modem : modems) profiles_.push_back({modem.name, modem.tags, modem.limits});
  options_.api.routes = options_.routes;
  if (!options_.mqtt.url.empty()) {
    options_.mqtt.maxBodyBytes = options_.api.maxBodyBytes;
    mqtt_ = std::make_unique<Mqtt>(MqttContext{store_, board_, work_, log_, options_.routes}, options_.mqtt);
    store_.setMqttTarget(parseMqttUrl(options_.mqtt.url).target());
    events_.listen([this] { mqtt_->wake(); });
  }
  for (auto& modem : modems) {
    WorkerOptions w = options_.worker;
    w.name = modem.name;
    w.balance = modem.balance;
    // Unique to this process: a name that already starts with the instance
    // (the built-in simulated modems') is taken as it is.
    const std::string prefix = options_.instance + ":";
    w.worker = modem.name.rfind(prefix, 0) == 0 ? modem.name : prefix + modem.name;
    workers_.push_back(std::make_unique<Worker>(WorkerContext{store_, board_, inbox_, log_, &webhooks_, &leases_, &events_}, w,
                                                std::move(modem.factory)));
  }
  // New work wakes every idle worker at once; the first to claim takes it.
  work_.listen([this] {
    for (auto& worker : workers_) worker->wake();
  });
  api_ = std::make_unique<HttpApi>(ApiContext{store_, board_, work_, inbox_, log_}, options_.api);
}

Gateway::~Gateway() { stop(); }

int Gateway::start() {
  const int port = api_->bind(options_.host, options_.port);
  // Before the first claim: routing and limits read the profiles.
  store_.registerModems(profiles_);
  // Messages queued by other gateways sharing the database wake ours too.
  store_.watchNewWork([this] { work_.notify(); });
  leases_.start();
  // And what their modems receive ends our long polls.
  store_.watchInbox([this] { inbox_.notify(); });
  for (auto& worker : workers_) worker->start();
  webhooks_.start();
  retention_.start();
  if (mqtt_) mqtt_->start();
  api_->start();
  running_ = true;
  log_.event("listening", {{"address", options_.host + ":" + std::to_string(port)},
                           {"modems", std::to_string(workers_.size())}});
  return port;
}

void Gateway::stop() {
  if (!running_) return;
  running_ = false;
  // Workers first: every one stops claiming at once, then the sends in
  // flight finish side by side. The API keeps answering status queries
  // meanwhile.
  for (auto& worker : workers_) worker->requestStop();
  log_.event("draining");
  for (auto& worker : workers_) worker->stop();
  leases_.stop();
  retention_.stop();
  webhooks_.stop();
  if (mqtt_) mqtt_->stop();  // after the workers: their last states go out
  api_->stop();
  log_.event("stopped");
}

std::string defaultInstanceName() { return hostName() + ":" + std::to_string(::getpid()); }

}  // namespace reviri::gateway
