// gateway/typed_modem_port.h - the gateway's port onto a real (or
// simulated) modem through the typed messaging API, reviri::Modem.
//
// The serial port under the Modem also watches the worker's waker while the
// worker is idle, so that new work cuts the wait for incoming data short.
//
// Threading: belongs to one worker thread, like the Modem it owns.
#ifndef REVIRI_GATEWAY_TYPED_MODEM_PORT_H_
#define REVIRI_GATEWAY_TYPED_MODEM_PORT_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gateway/modem_port.h"
#include "gateway/modem_reset.h"
#include "reviri/modem.h"

namespace reviri::gateway {

// What --modem DEVICE[@SETTINGS][,name=NAME][,pin=PIN][,tags=A+B][,reject_calls=1] says
// (the options in any order).
struct ModemTarget {
  std::string device;
  std::string settings = "115200,n,8,1";
  std::string name;  // empty: the gateway names it after its host and device
  std::string pin;
  std::vector<std::string> tags;  // what routes and messages choose it by
  bool lockPort = true;
  // How long the modem may take to answer a command, and to answer a
  // written PDU (the network's turn): together the longest write, which
  // every lease outlasts.
  std::chrono::milliseconds commandTimeout{10000};
  std::chrono::milliseconds sendTimeout{30000};
  // The pause before a temporary refusal is tried again within a send.
  std::chrono::milliseconds retryBackoff{2000};
  // How a hung modem is reset (",reset=cfun|none|COMMAND"; a command
  // without commas in this form) and how often in an hour.
  ResetPlan reset;
  // ---- Incoming calls ----
  bool rejectCalls = false;  // reject_calls=1: hang up every call
};
// Throws std::invalid_argument naming what is wrong.
ModemTarget parseModemTarget(const std::string& text);

ModemPortFactory typedModemPortFactory(ModemTarget target);

// A port onto a private pseudo-terminal (a simulated modem): default line
// settings, no port lock.
inline ModemPortFactory pseudoTerminalPortFactory(const std::string& device) {
  ModemTarget target;
  target.device = device;
  target.lockPort = false;
  return typedModemPortFactory(target);
}

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_TYPED_MODEM_PORT_H_
