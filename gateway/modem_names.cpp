// gateway/modem_names.cpp - claiming, renewing and releasing modem names.
#include "gateway/modem_names.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace reviri::gateway {
namespace {

// Whether `owner` ("host:pid", see defaultInstanceName) is a process of
// this host that no longer exists.
bool deadOnThisHost(const std::string& owner) {
  const std::string prefix = hostName() + ":";
  if (owner.rfind(prefix, 0) != 0) return false;
  const std::string pid = owner.substr(prefix.size());
  if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) return false;
  return ::kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH;
}

std::string ago(std::int64_t heartbeatMs) {
  return std::to_string((systemNowMs() - heartbeatMs) / 1000) + " s ago";
}

}  // namespace

ModemNames::ModemNames(Store& store, EventLog& log, std::vector<std::string> names, std::string owner,
                       std::chrono::milliseconds heartbeat)
    : store_(store), log_(log), names_(std::move(names)), owner_(std::move(owner)), heartbeat_(heartbeat) {
  const auto stale = heartbeat_ * kStaleBeats;
  auto taken = store_.claimModemNames(names_, owner_, stale);
  if (taken && deadOnThisHost(taken->owner)) {
    log_.event("modem-names-taken-over", {{"owner", taken->owner}});
    store_.releaseModemNames(taken->owner);
    taken = store_.claimModemNames(names_, owner_, stale);
  }
  if (taken) {
    throw ModemNameTaken("modem name \"" + taken->name + "\" is in use by the gateway " + taken->owner +
                         " (last heartbeat " + ago(taken->heartbeatMs) + "); give this modem another name with " +
                         "--modem DEVICE,name=NAME, or wait until that gateway stops");
  }
  thread_ = std::thread([this] { beat(); });
}

ModemNames::~ModemNames() {
  stopping_ = true;
  waker_.wake();
  if (thread_.joinable()) thread_.join();
  try {
    store_.releaseModemNames(owner_);
  } catch (const std::exception& e) {
    log_.event("store-error", {{"error", e.what()}});  // the names go stale instead
  }
}

void ModemNames::beat() {
  while (!stopping_) {
    waker_.waitFor(heartbeat_);
    if (stopping_) return;
    try {
      const int held = store_.renewModemNames(owner_);
      if (held < static_cast<int>(names_.size())) {
        // Our heartbeat was late enough for another gateway to take a name.
        log_.event("modem-names-lost", {{"held", std::to_string(held)}, {"claimed", std::to_string(names_.size())}});
      }
    } catch (const std::exception& e) {
      log_.event("store-error", {{"error", e.what()}});
    }
  }
}

std::string hostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return host[0] ? host : "localhost";
}

}  // namespace reviri::gateway
