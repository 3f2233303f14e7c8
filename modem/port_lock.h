// modem/port_lock.h - exclusive use of a serial port between processes.
//
// Two locks, as serial programs on Linux (minicom, gammu, smstools, pppd)
// take them, so that whichever of them another program honours keeps it out:
//  - a UUCP lock file LCK..<device name> in /run/lock (or /var/lock) holding
//    the owner's PID as ten ASCII digits and a newline; a lock file whose
//    process no longer exists is stale and taken over;
//  - flock(LOCK_EX | LOCK_NB) on the open descriptor, which the kernel
//    releases when the owner dies, even without clean-up.
// A lock directory the process may not write to is skipped (the flock still
// holds). Threading: a PortLock belongs to one thread.
#ifndef REVIRI_MODEM_PORT_LOCK_H_
#define REVIRI_MODEM_PORT_LOCK_H_

#include <string>

namespace reviri::modem {

// The UUCP lock file name for `device`: "/dev/ttyUSB0" -> "LCK..ttyUSB0",
// "/dev/pts/3" -> "LCK..pts_3" (directories below /dev joined by '_').
std::string uucpLockName(const std::string& device);

class PortLock {
 public:
  PortLock() = default;
  ~PortLock() { release(); }
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // Creates the lock file for `device` in `directory` ("" = default).
  // Throws ModemError kPortInUse "port in use (by PID n)" when a live
  // process holds it.
  void lockFile(const std::string& device, const std::string& directory);
  // Takes flock(LOCK_EX | LOCK_NB) on `fd`. Throws ModemError kPortInUse,
  // naming the PID from the lock file when there is one.
  void lockDescriptor(int fd, const std::string& device, const std::string& directory);
  // Removes the lock file (if this process made it). The flock goes with
  // the descriptor. Never throws.
  void release() noexcept;

 private:
  std::string path_;  // the lock file this process created, "" when none
};

// The PID recorded in a UUCP lock file, or -1 when there is none.
long lockFileOwner(const std::string& path);

}  // namespace reviri::modem

#endif  // REVIRI_MODEM_PORT_LOCK_H_
