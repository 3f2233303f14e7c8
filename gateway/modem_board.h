// gateway/modem_board.h - what the gateway knows about its modems right
// now: state, signal, operator, last error and counters, plus the send
// latency histogram. Workers write it; the HTTP API reads it.
//
// Threading: every method is thread-safe.
#ifndef REVIRI_GATEWAY_MODEM_BOARD_H_
#define REVIRI_GATEWAY_MODEM_BOARD_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace reviri::gateway {

struct ModemState {
  std::string name;
  std::string device;
  // starting | up | hung | resetting | unplugged | down | stopped
  std::string state = "starting";
  int signal = 99;                 // AT+CSQ rssi: 0-31, 99 unknown
  std::string operatorName;
  std::string lastError;
  std::uint64_t sent = 0, failed = 0, delivered = 0, received = 0;
  std::uint64_t calls = 0;  // incoming calls stored, since the gateway started
  // ---- Self-healing ----
  std::uint64_t resets = 0;          // since the gateway started
  std::optional<std::int64_t> lastResetMs;  // system clock
  // ---- USSD: the last balance check's amount and when it was read ----
  std::optional<double> balance;
  std::string balanceAt;  // ISO 8601 UTC; "" before the first
};

// Seconds from accepted to sent; the buckets' upper bounds.
inline constexpr std::array<double, 10> kLatencyBuckets{0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1, 5, 30};

struct LatencyHistogram {
  std::array<std::uint64_t, kLatencyBuckets.size()> buckets{};  // cumulative counts
  std::uint64_t count = 0;
  double sum = 0;
};

class ModemBoard {
 public:
  void update(const std::string& name, const std::function<void(ModemState&)>& change) {
    std::lock_guard lock(mu_);
    auto& state = modems_[name];
    state.name = name;
    change(state);
  }
  std::vector<ModemState> snapshot() const {
    std::lock_guard lock(mu_);
    std::vector<ModemState> states;
    for (const auto& [name, state] : modems_) states.push_back(state);
    return states;
  }
  void recordLatency(double seconds) {
    std::lock_guard lock(mu_);
    for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
      if (seconds <= kLatencyBuckets[i]) ++latency_.buckets[i];
    }
    ++latency_.count;
    latency_.sum += seconds;
  }
  LatencyHistogram latency() const {
    std::lock_guard lock(mu_);
    return latency_;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, ModemState> modems_;
  LatencyHistogram latency_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MODEM_BOARD_H_
