// modem/port_lock.cpp - UUCP lock files and flock on the port descriptor.
#include "modem/port_lock.h"

#if defined(_WIN32)
// Windows opens a COM port for one process only: a second CreateFile fails
// with "access denied", so there is nothing to add.
namespace reviri::modem {
std::string uucpLockName(const std::string& device) { return device; }
long lockFileOwner(const std::string&) { return -1; }
void PortLock::lockFile(const std::string&, const std::string&) {}
void PortLock::lockDescriptor(int, const std::string&, const std::string&) {}
void PortLock::release() noexcept {}
}  // namespace reviri::modem
#else

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "reviri/modem.h"

namespace reviri::modem {
namespace {

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool processAlive(long pid) {
  if (pid <= 0) return false;
  // EPERM means the process exists but belongs to someone else.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

[[noreturn]] void throwInUse(const std::string& device, long pid) {
  Error e;
  e.kind = Error::Kind::kPortInUse;
  e.meaning = "port in use (by " + (pid > 0 ? "PID " + std::to_string(pid) : std::string("another process")) +
              "): " + device;
  throw ModemError(e);
}

// Writes our PID into a fresh file next to `path` and links it into place,
// so that no reader ever sees a half-written lock file.
bool createLockFile(const std::string& path) {
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  char content[16];
  const int n = std::snprintf(content, sizeof content, "%10ld\n", static_cast<long>(::getpid()));
  const bool written = ::write(fd, content, static_cast<std::size_t>(n)) == n;
  ::close(fd);
  const bool linked = written && ::link(temp.c_str(), path.c_str()) == 0;
  const int linkErrno = errno;
  ::unlink(temp.c_str());
  errno = linkErrno;
  return linked;
}

// The lock file for `device` in `directory` ("" = the first of /run/lock and
// /var/lock that exists); "" when there is no lock directory.
std::string lockPath(const std::string& device, const std::string& directory) {
  std::string dir = directory;
  for (const char* standard : {"/run/lock", "/var/lock"})
    if (dir.empty() && isDirectory(standard)) dir = standard;
  return dir.empty() ? dir : dir + "/" + uucpLockName(device);
}

}  // namespace

std::string uucpLockName(const std::string& device) {
  std::string name = device;
  if (name.starts_with("/dev/")) name.erase(0, 5);
  else if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  for (char& c : name)
    if (c == '/') c = '_';
  return "LCK.." + name;
}

long lockFileOwner(const std::string& path) {
  std::ifstream in(path);
  long pid = -1;
  if (!(in >> pid)) return -1;
  return pid;
}

void PortLock::lockFile(const std::string& device, const std::string& directory) {
  const std::string path = lockPath(device, directory);
  if (path.empty()) return;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (createLockFile(path)) {
      path_ = path;
      return;
    }
    if (errno != EEXIST) return;  // a lock directory we may not write to: rely on flock
    const long owner = lockFileOwner(path);
    if (processAlive(owner)) throwInUse(device, owner);
    ::unlink(path.c_str());  // stale: its process is gone
  }
}

void PortLock::lockDescriptor(int fd, const std::string& device, const std::string& directory) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK) return;  // a file system without flock: the lock file decides
  const std::string path = lockPath(device, directory);
  throwInUse(device, path.empty() ? -1 : lockFileOwner(path));
}

void PortLock::release() noexcept {
  if (path_.empty()) return;
  if (lockFileOwner(path_) == static_cast<long>(::getpid())) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace reviri::modem

#endif  // _WIN32
