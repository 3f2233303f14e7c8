// gateway/modem_reset.h - the ways a hung modem is reset: AT+CFUN=1,1
// written straight to its port (the modem reboots, often dropping off the
// bus for a moment), or a command of the user's (a script that
// power-cycles a USB port, say).
//
// Threading: called on the worker's thread, with the modem's port closed.
#ifndef REVIRI_GATEWAY_MODEM_RESET_H_
#define REVIRI_GATEWAY_MODEM_RESET_H_

#include <chrono>
#include <functional>
#include <string>

namespace reviri::gateway {

// How a modem is reset: "cfun" (the default), "none", or a shell command.
struct ResetPlan {
  std::string how = "cfun";
  int maxPerHour = 3;  // resets in any hour; past it the modem stays down
};

// What a port knows to heal its modem: the path that vanishes when it is
// unplugged, its line settings and how to reset it.
struct Healing {
  std::string device;
  std::string settings = "115200,n,8,1";
  ResetPlan reset;
};

// Refuses what `how` cannot be: empty, or a command with a line break.
// Throws std::invalid_argument naming it.
void checkResetHow(const std::string& how);

// Resets the modem as `healing` says; "" when done, else why not.
// A command runs as `/bin/sh -c COMMAND` with REVIRI_MODEM (`modem`) and
// REVIRI_DEVICE in its environment, for at most `commandLimit` (then it is
// killed), and fails with its exit status; `wakeFd` readable with
// `stopping()` true ends the wait too.
std::string resetModem(const Healing& healing, const std::string& modem, std::chrono::milliseconds commandLimit,
                       int wakeFd, const std::function<bool()>& stopping);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_MODEM_RESET_H_
