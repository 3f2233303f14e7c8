// gateway/live_events.h - the console's live updates: a bounded window of
// the store's recent events that event streams (GET /v1/events) follow, and
// the short-lived single-use tickets that open such a stream.
//
// A browser's EventSource cannot send an Authorization header, and a key in
// a URL ends up in proxy logs and history; so the page trades its key for a
// ticket (POST /v1/events/ticket) that opens one stream within seconds and
// is worth nothing afterwards.
//
// Threading: every method is thread-safe.
#ifndef REVIRI_GATEWAY_LIVE_EVENTS_H_
#define REVIRI_GATEWAY_LIVE_EVENTS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace reviri::gateway {

struct LiveEvent {
  std::uint64_t seq = 0;
  std::string name;  // status | message | report
  std::string body;  // JSON
};

class LiveEvents {
 public:
  explicit LiveEvents(std::size_t window = 1000) : window_(window) {}

  void publish(std::string name, std::string body);
  // The seq of the latest event so far (a new stream starts after it).
  std::uint64_t latest() const;
  // Waits until there are events after `after`, `deadline` or close().
  // `missed` is set when some of them already left the window.
  std::vector<LiveEvent> waitAfter(std::uint64_t after, std::chrono::steady_clock::time_point deadline,
                                   bool& missed);
  void close();
  bool closed() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<LiveEvent> events_;
  std::size_t window_;
  std::uint64_t seq_ = 0;
  bool closed_ = false;
};

class StreamTickets {
 public:
  using Clock = std::chrono::steady_clock;
  explicit StreamTickets(std::chrono::seconds lifetime = std::chrono::seconds(30)) : lifetime_(lifetime) {}
  // A new random ticket.
  std::string issue();
  // True once for a ticket issued within its lifetime; it is then spent.
  bool redeem(const std::string& ticket);
  std::chrono::seconds lifetime() const { return lifetime_; }

 private:
  std::mutex mu_;
  std::map<std::string, Clock::time_point> tickets_;  // ticket -> expiry
  std::chrono::seconds lifetime_;
};

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_LIVE_EVENTS_H_
