// gateway/live_events.cpp - the window of recent events and stream tickets.
#include "gateway/live_events.h"

#include <openssl/rand.h>

#include <stdexcept>

namespace reviri::gateway {

void LiveEvents::publish(std::string name, std::string body) {
  {
    std::lock_guard lock(mu_);
    events_.push_back({++seq_, std::move(name), std::move(body)});
    if (events_.size() > window_) events_.pop_front();
  }
  cv_.notify_all();
}

std::uint64_t LiveEvents::latest() const {
  std::lock_guard lock(mu_);
  return seq_;
}

std::vector<LiveEvent> LiveEvents::waitAfter(std::uint64_t after, std::chrono::steady_clock::time_point deadline,
                                             bool& missed) {
  std::unique_lock lock(mu_);
  cv_.wait_until(lock, deadline, [&] { return closed_ || seq_ > after; });
  std::vector<LiveEvent> out;
  missed = !events_.empty() && events_.front().seq > after + 1;
  for (const auto& event : events_) {
    if (event.seq > after) out.push_back(event);
  }
  return out;
}

void LiveEvents::close() {
  {
    std::lock_guard lock(mu_);
    closed_ = true;
  }
  cv_.notify_all();
}

bool LiveEvents::closed() const {
  std::lock_guard lock(mu_);
  return closed_;
}

std::string StreamTickets::issue() {
  unsigned char bytes[24];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for an event stream ticket");
  static const char* kHex = "0123456789abcdef";
  std::string ticket;
  for (unsigned char b : bytes) {
    ticket += kHex[b >> 4];
    ticket += kHex[b & 15];
  }
  const auto now = Clock::now();
  std::lock_guard lock(mu_);
  std::erase_if(tickets_, [&](const auto& entry) { return entry.second < now; });  // keeps the map small
  tickets_[ticket] = now + lifetime_;
  return ticket;
}

bool StreamTickets::redeem(const std::string& ticket) {
  std::lock_guard lock(mu_);
  const auto found = tickets_.find(ticket);
  if (found == tickets_.end()) return false;
  const bool fresh = found->second >= Clock::now();
  tickets_.erase(found);
  return fresh;
}

}  // namespace reviri::gateway
