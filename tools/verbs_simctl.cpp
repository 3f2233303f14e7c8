// tools/verbs_simctl.cpp - the "sim-ctl" verb: one request to a running
// simulated modem's control socket (`reviri sim --control SOCKET`), so the
// simulator can be driven from a shell without a socket tool.
//
// Threading: runs on the calling thread; blocks in poll() for the reply.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>

#include "tools/context.h"

namespace reviri::cli {
namespace {

struct SimCtlArgs {
  std::string socket;
  std::vector<std::string> words;
};

// Closes the descriptor when the request is over.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool isFinalLine(const std::string& line) { return line == "OK" || line.starts_with("ERROR"); }

// Connects to the control socket at `path`; a negative descriptor and
// `error` set when it cannot.
int connectTo(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "the socket path must have 1 to " + std::to_string(sizeof addr.sun_path - 1) + " characters";
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads reply lines up to and including the final "OK" / "ERROR ..." line.
// False when the simulator closes the socket or stays silent past `deadline`.
bool readReply(int fd, std::chrono::steady_clock::time_point deadline, std::vector<std::string>& lines) {
  std::string pending;
  while (lines.empty() || !isFinalLine(lines.back())) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      if (isFinalLine(line)) break;
    }
  }
  return true;
}

int simCtl(Context& ctx, const SimCtlArgs& args) {
  std::string request;
  for (const auto& word : args.words) request += (request.empty() ? "" : " ") + word;
  if (request.find_first_of("\r\n") != std::string::npos)
    return ctx.fail(kUsage, "sim-ctl: one request per call; the request holds a line break");

  std::string error;
  Socket socket(connectTo(args.socket, error));
  if (socket.fd() < 0) return ctx.fail(kNoPort, "cannot connect to the control socket " + args.socket + ": " + error);
  if (!writeAll(socket.fd(), request + "\n"))
    return ctx.fail(kNoPort, "the control socket " + args.socket + " closed before the request was written");

  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + ctx.timeout();
  if (!readReply(socket.fd(), deadline, lines))
    return ctx.fail(kRefused, "no complete reply from the simulated modem to \"" + request + "\"");

  const std::string final = lines.back();
  lines.pop_back();
  std::string human;
  for (const auto& line : lines) human += (human.empty() ? "" : "\n") + line;
  if (final != "OK") {
    ctx.print(human, {{"request", request}, {"ok", false}, {"lines", lines}, {"error", {{"kind", "modem"}, {"code", nullptr}, {"meaning", final}}}});
    ctx.err << "reviri: the simulated modem refused \"" << request << "\": " << final << "\n";
    return kRefused;
  }
  ctx.print(human, {{"request", request}, {"ok", true}, {"lines", lines}});
  return kSuccess;
}

}  // namespace

void addSimControlVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  auto args = std::make_shared<SimCtlArgs>();
  CLI::App* simCtlApp = app.add_subcommand(
      "sim-ctl", "send one request (inject, raw, delay, speed, silent, signal, storage, quirk, refuse, hang, unplug, plug, "
                 "powercycle, heard, dump, sent, help) to the "
                 "control socket of `reviri sim --control SOCKET` and print its reply");
  simCtlApp->add_option("socket", args->socket, "the simulator's control socket")->required();
  simCtlApp->add_option("request", args->words, "the request, e.g. inject +4917012345 Hello")->required();
  verbs.push_back({simCtlApp, [args](Context& ctx) { return simCtl(ctx, *args); }});
}

}  // namespace reviri::cli
