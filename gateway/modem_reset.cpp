// gateway/modem_reset.cpp - AT+CFUN=1,1 through the serial layer, or the
// user's command under /bin/sh.
#include "gateway/modem_reset.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "reviri/serial_port.h"

extern char** environ;

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

// A hung modem may not even take the bytes: the write is all we ask of it.
std::string resetByCfun(const Healing& healing) {
  try {
    auto port = makeSystemSerialPort();
    port->open(healing.device, LineSettings::parse(healing.settings));
    // ESC leaves a message prompt; the reboot asks for no answer.
    port->write("\x1b\rAT+CFUN=1,1\r");
    port->close();
    return {};
  } catch (const std::exception& e) {
    return std::string("AT+CFUN=1,1 could not be written: ") + e.what();
  }
}

std::string exitReason(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
  return "ended oddly";
}

// Waits for `pid` in the kernel on a pidfd and the worker's waker; kills it
// past `limit` or when stopping.
std::string waitForCommand(pid_t pid, milliseconds limit, int wakeFd, const std::function<bool()>& stopping) {
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const auto until = std::chrono::steady_clock::now() + limit;
  std::string why;
  while (pidFd >= 0) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      why = "still running after " + std::to_string(limit.count()) + " ms: killed";
      break;
    }
    pollfd fds[2] = {{pidFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (fds[1].revents && stopping()) {
      why = "the gateway is stopping: killed";
      break;
    }
    if (fds[1].revents) {
      // Woken for new work: the modem cannot take it now. Sleep again.
      std::uint64_t drained = 0;
      [[maybe_unused]] const auto n = ::read(wakeFd, &drained, sizeof drained);
    }
  }
  if (!why.empty()) ::kill(pid, SIGKILL);
  if (pidFd >= 0) ::close(pidFd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return why.empty() ? exitReason(status) : why;
}

std::string resetByCommand(const Healing& healing, const std::string& modem, milliseconds limit, int wakeFd,
                           const std::function<bool()>& stopping) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "REVIRI_MODEM=", 13) != 0 && std::strncmp(*e, "REVIRI_DEVICE=", 14) != 0) env.emplace_back(*e);
  }
  env.push_back("REVIRI_MODEM=" + modem);
  env.push_back("REVIRI_DEVICE=" + healing.device);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string sh = "/bin/sh", dashC = "-c", command = healing.reset.how;
  char* argv[] = {sh.data(), dashC.data(), command.data(), nullptr};
  pid_t pid = 0;
  if (const int rc = ::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data()); rc != 0) {
    return "reset command could not start: " + std::string(std::strerror(rc));
  }
  const std::string why = waitForCommand(pid, limit, wakeFd, stopping);
  return why.empty() ? "" : "reset command `" + command + "`: " + why;
}

}  // namespace

void checkResetHow(const std::string& how) {
  if (how.empty()) throw std::invalid_argument("reset is empty; expected \"cfun\", \"none\" or a command");
  if (how.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("the command holds a line break; give one command line (a script for more)");
  }
}

std::string resetModem(const Healing& healing, const std::string& modem, milliseconds commandLimit, int wakeFd,
                       const std::function<bool()>& stopping) {
  if (healing.reset.how == "none") return "no reset is configured (reset = \"none\")";
  if (healing.reset.how == "cfun") return resetByCfun(healing);
  return resetByCommand(healing, modem, commandLimit, wakeFd, stopping);
}

}  // namespace reviri::gateway
