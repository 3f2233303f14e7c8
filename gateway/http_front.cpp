// gateway/http_front.cpp - the reactor that reads requests and the pool that
// serves them (see http_front.h).
#include "gateway/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace reviri::gateway {
namespace {

using Clock = std::chrono::steady_clock;

// The longest line of a head; httplib refuses longer ones itself.
constexpr std::size_t kMaxLineBytes = 8192;
// The longest chunk-size line of a chunked body.
constexpr std::size_t kMaxChunkLineBytes = 1024;
// After a refusal, the client's further bytes are read and dropped this long
// (and up to this much) before the close, so that the answer is not lost to
// a reset.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr std::size_t kDrainBytes = 1 << 20;
constexpr std::size_t kReadChunk = 64 * 1024;

enum class Phase { kIdle, kHead, kBody, kChunkSize, kChunkData, kChunkEnd, kTrailer, kBusy, kDraining };

struct Refusal {
  int status = 0;
  std::string message;
  std::string field;
};

struct Peer {
  std::string ip;
  int port = 0;
};

struct Connection {
  int fd = -1;
  Peer remote, local;
  bool counted = false;  // in the count of its client address
  Phase phase = Phase::kIdle;
  std::optional<Clock::time_point> deadline;
  std::string in;            // read and not yet consumed
  std::size_t scanned = 0;   // head bytes already split into lines
  std::size_t lines = 0;     // head lines seen
  std::size_t drained = 0;   // bytes dropped while draining
  std::string head;          // the head rebuilt, without its final blank line
  std::string body;          // decoded
  std::size_t remaining = 0; // of the Content-Length or the current chunk
  std::size_t bodyLimit = 0; // of this request's path
};

const char* reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    default: return "Error";
  }
}

std::string refusalBytes(const Refusal& r) {
  nlohmann::json body{{"error", r.message}};
  if (!r.field.empty()) body["field"] = r.field;
  const std::string text = body.dump();
  return "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(text.size()) +
         "\r\nConnection: close\r\n\r\n" + text;
}

std::string lowered(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t") + 1 - first));
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c);
  });
}

Peer peerOf(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  Peer peer;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    peer.port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    peer.port = ntohs(v6.sin6_port);
  }
  peer.ip = text;
  return peer;
}

// One request that has arrived whole, as httplib reads it, answered straight
// onto the connection's socket.
class RequestStream : public httplib::Stream {
 public:
  RequestStream(int fd, const std::string& request, const Connection& c, std::chrono::milliseconds writeTimeout)
      : fd_(fd), request_(request), remote_(c.remote), local_(c.local), writeTimeout_(writeTimeout) {}

  bool is_readable() const override { return offset_ < request_.size(); }
  bool is_writable() const override { return !failed_; }
  ssize_t read(char* ptr, size_t size) override {
    const std::size_t n = std::min(size, request_.size() - offset_);
    std::memcpy(ptr, request_.data() + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    const auto deadline = Clock::now() + writeTimeout_;
    std::size_t done = 0;
    while (!failed_ && done < size) {
      const auto n = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        failed_ = !waitWritable(deadline);
      } else {
        failed_ = true;
      }
    }
    return failed_ ? -1 : static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = remote_.ip;
    port = remote_.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = local_.ip;
    port = local_.port;
  }
  // httplib looks at the socket only to refuse one select() could not
  // watch; nothing here selects on it.
  socket_t socket() const override { return INVALID_SOCKET; }
  bool failed() const { return failed_; }

 private:
  bool waitWritable(Clock::time_point deadline) const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLOUT, 0};
    return left > 0 && ::poll(&p, 1, static_cast<int>(left)) > 0 && !(p.revents & (POLLERR | POLLHUP));
  }

  int fd_;
  const std::string& request_;
  std::size_t offset_ = 0;
  Peer remote_, local_;
  std::chrono::milliseconds writeTimeout_;
  bool failed_ = false;
};

}  // namespace

struct HttpFront::Reactor {
  Reactor(RouteServer& routes, const FrontLimits& limits) : routes(routes), limits(limits) {}

  RouteServer& routes;
  const FrontLimits& limits;
  int listenFd = -1, epollFd = -1, wakeFd = -1;
  bool accepting = true;
  std::atomic<bool> stopping{false};
  std::unordered_map<int, Connection> connections;
  std::unordered_map<std::string, int> perClient;
  std::set<std::pair<Clock::time_point, int>> timers;
  std::unique_ptr<httplib::ThreadPool> pool;
  std::mutex finishedMu;
  std::vector<std::pair<int, bool>> finished;  // fd, keep open; from the pool

  ~Reactor() {
    for (auto& [fd, c] : connections) ::close(fd);
    for (int fd : {listenFd, epollFd, wakeFd}) {
      if (fd >= 0) ::close(fd);
    }
  }

  void watch(int fd, bool on) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epollFd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd, &event);
  }

  void setDeadline(Connection& c, std::optional<Clock::time_point> at) {
    if (c.deadline) timers.erase({*c.deadline, c.fd});
    c.deadline = at;
    if (at) timers.insert({*at, c.fd});
  }

  void run() {
    epoll_event events[64];
    while (!stopping) {
      int timeout = -1;
      if (!timers.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - Clock::now());
        timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
      }
      const int n = ::epoll_wait(epollFd, events, 64, timeout);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listenFd) {
          acceptAll();
        } else if (fd == wakeFd) {
          resumeFinished();
        } else if (connections.count(fd)) {
          onReadable(connections.at(fd));
        }
      }
      expireTimers();
    }
  }

  void acceptAll() {
    for (;;) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors: stop accepting until a connection closes
        // rather than wake at once for the same pending connection.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAccepting();
        return;
      }
      Connection& c = connections[fd];
      c.fd = fd;
      c.remote = peerOf(address);
      sockaddr_storage local{};
      length = sizeof local;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
      c.local = peerOf(local);
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      watch(fd, true);
      if (perClient[c.remote.ip] >= limits.maxConnectionsPerClient) {
        refuse(c, {429, "too many connections from " + c.remote.ip, ""});
        continue;
      }
      ++perClient[c.remote.ip];
      c.counted = true;
      setDeadline(c, Clock::now() + limits.idleTimeout);
    }
  }

  void pauseAccepting() {
    if (!accepting) return;
    accepting = false;
    watch(listenFd, false);
  }

  void closeConnection(Connection& c) {
    setDeadline(c, std::nullopt);
    if (c.counted && --perClient[c.remote.ip] == 0) perClient.erase(c.remote.ip);
    const int fd = c.fd;
    ::close(fd);  // also leaves the epoll set
    connections.erase(fd);
    if (!accepting && !stopping) {
      accepting = true;
      watch(listenFd, true);
    }
  }

  void onReadable(Connection& c) {
    char chunk[kReadChunk];
    const auto n = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      closeConnection(c);
      return;
    }
    if (c.phase == Phase::kDraining) {
      c.drained += static_cast<std::size_t>(n);
      if (c.drained > kDrainBytes) closeConnection(c);
      return;
    }
    c.in.append(chunk, static_cast<std::size_t>(n));
    advance(c);
  }

  // Reads as far as the bytes in hand allow, then hands a whole request to
  // the pool or refuses it.
  void advance(Connection& c) {
    std::optional<Refusal> refusal;
    const bool complete = readRequest(c, refusal);
    if (refusal) {
      refuse(c, *refusal);
    } else if (complete) {
      dispatch(c);
    }
  }

  bool readRequest(Connection& c, std::optional<Refusal>& refusal) {
    for (;;) {
      switch (c.phase) {
        case Phase::kIdle: {
          // Blank lines between requests are allowed and skipped.
          const auto start = c.in.find_first_not_of("\r\n");
          c.in.erase(0, start == std::string::npos ? c.in.size() : start);
          if (c.in.empty()) return false;
          c.phase = Phase::kHead;
          c.scanned = c.lines = 0;
          c.head.clear();
          c.body.clear();
          setDeadline(c, Clock::now() + limits.headerTimeout);
          break;
        }
        case Phase::kHead:
          if (!readHead(c, refusal)) return false;
          break;
        case Phase::kBody: {
          const std::size_t n = std::min(c.remaining, c.in.size());
          c.body.append(c.in, 0, n);
          c.in.erase(0, n);
          c.remaining -= n;
          return c.remaining == 0;
        }
        case Phase::kChunkSize:
          if (!readChunkSize(c, refusal)) return false;
          break;
        case Phase::kChunkData: {
          const std::size_t n = std::min(c.remaining, c.in.size());
          c.body.append(c.in, 0, n);
          c.in.erase(0, n);
          c.remaining -= n;
          if (c.remaining > 0) return false;
          c.phase = Phase::kChunkEnd;
          break;
        }
        case Phase::kChunkEnd: {
          const std::size_t end = c.in.rfind("\r\n", 0) == 0 ? 2 : (c.in.rfind("\n", 0) == 0 ? 1 : 0);
          if (end == 0 && c.in.size() < 2) return false;
          if (end == 0) {
            refusal = Refusal{400, "a chunk of the body does not end where its size says", "Transfer-Encoding"};
            return false;
          }
          c.in.erase(0, end);
          c.phase = Phase::kChunkSize;
          break;
        }
        case Phase::kTrailer: {
          const auto newline = c.in.find('\n');
          if (newline == std::string::npos) {
            if (c.in.size() > limits.maxHeaderBytes) refusal = Refusal{431, "the trailer is too large", ""};
            return false;
          }
          const bool last = newline == 0 || (newline == 1 && c.in[0] == '\r');
          c.in.erase(0, newline + 1);
          if (last) return true;
          if (++c.lines > limits.maxHeaderLines) {
            refusal = Refusal{431, "more than " + std::to_string(limits.maxHeaderLines) + " header lines", ""};
            return false;
          }
          break;
        }
        case Phase::kBusy:
        case Phase::kDraining:
          return false;
      }
    }
  }

  // Splits the head into lines as they arrive, checking the caps on the way;
  // true once the whole head is in and understood.
  bool readHead(Connection& c, std::optional<Refusal>& refusal) {
    for (;;) {
      const auto newline = c.in.find('\n', c.scanned);
      const std::size_t lineLength = (newline == std::string::npos ? c.in.size() : newline) - c.scanned;
      if (lineLength > kMaxLineBytes) {
        refusal = c.lines == 0 ? Refusal{414, "the request line is longer than 8192 bytes", ""}
                               : Refusal{431, "a header line is longer than 8192 bytes", ""};
        return false;
      }
      if (newline == std::string::npos) break;
      const bool blank = lineLength == 0 || (lineLength == 1 && c.in[c.scanned] == '\r');
      c.scanned = newline + 1;
      if (blank) return parseHead(c, refusal);
      if (++c.lines > limits.maxHeaderLines) {
        refusal = Refusal{431, "more than " + std::to_string(limits.maxHeaderLines) + " header lines", ""};
        return false;
      }
    }
    if (c.in.size() > limits.maxHeaderBytes) {
      refusal = Refusal{431, "the head is larger than " + std::to_string(limits.maxHeaderBytes) + " bytes", ""};
    }
    return false;
  }

  // The head in c.in[0, c.scanned): rebuilt into c.head without the framing
  // headers; sets the body's framing.
  bool parseHead(Connection& c, std::optional<Refusal>& refusal) {
    if (c.scanned > limits.maxHeaderBytes) {
      refusal = Refusal{431, "the head is larger than " + std::to_string(limits.maxHeaderBytes) + " bytes", ""};
      return false;
    }
    const std::string headText = c.in.substr(0, c.scanned);
    c.in.erase(0, c.scanned);
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < headText.size();) {
      const auto newline = headText.find('\n', at);
      std::string_view line(headText.data() + at, newline - at);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.empty()) lines.push_back(line);
      at = newline + 1;
    }
    const auto bad = [&](std::string message, std::string field = "") {
      refusal = Refusal{400, std::move(message), std::move(field)};
      return false;
    };
    const std::string_view requestLine = lines.front();
    const auto first = requestLine.find(' '), last = requestLine.rfind(' ');
    if (first == std::string_view::npos || first == last || !isToken(requestLine.substr(0, first)) ||
        requestLine[first + 1] != '/' ||
        (requestLine.substr(last + 1) != "HTTP/1.1" && requestLine.substr(last + 1) != "HTTP/1.0")) {
      return bad("the request line is not \"METHOD /path HTTP/1.1\"");
    }
    std::optional<std::string> contentLength;
    bool chunked = false, expectContinue = false;
    c.head = std::string(requestLine) + "\r\n";
    const std::string_view target = requestLine.substr(first + 1, last - first - 1);
    const bool batch = !limits.batchPath.empty() && target.substr(0, target.find('?')) == limits.batchPath;
    c.bodyLimit = batch ? limits.maxBatchBodyBytes : limits.maxBodyBytes;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      const auto colon = lines[i].find(':');
      if (colon == std::string_view::npos || !isToken(lines[i].substr(0, colon))) {
        return bad("header line " + std::to_string(i) + " is not \"Name: value\"");
      }
      const std::string name = lowered(std::string(lines[i].substr(0, colon)));
      const std::string value = trimmed(lines[i].substr(colon + 1));
      if (name == "content-length") {
        if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos ||
            (contentLength && *contentLength != value)) {
          return bad("Content-Length must be one whole number", "Content-Length");
        }
        contentLength = value;
      } else if (name == "transfer-encoding") {
        if (lowered(value) != "chunked") return bad("only chunked transfer encoding is understood", "Transfer-Encoding");
        chunked = true;
      } else if (name == "expect") {
        expectContinue = lowered(value) == "100-continue";
      } else {
        c.head.append(lines[i]).append("\r\n");
      }
    }
    if (chunked && contentLength) return bad("Content-Length and chunked transfer encoding together", "Transfer-Encoding");
    c.remaining = contentLength ? std::stoull(*contentLength) : 0;
    if (c.remaining > c.bodyLimit) {
      refusal = tooLarge(c);
      return false;
    }
    c.phase = chunked ? Phase::kChunkSize : Phase::kBody;
    setDeadline(c, Clock::now() + limits.bodyTimeout);
    if (expectContinue && (chunked || c.remaining > 0)) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      [[maybe_unused]] auto sent = ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
    }
    return true;
  }

  static Refusal tooLarge(const Connection& c) {
    return {413, "the body is larger than " + std::to_string(c.bodyLimit) + " bytes", "body"};
  }

  bool readChunkSize(Connection& c, std::optional<Refusal>& refusal) {
    const auto newline = c.in.find('\n');
    if (newline == std::string::npos) {
      if (c.in.size() > kMaxChunkLineBytes) refusal = Refusal{400, "a chunk size line is too long", "Transfer-Encoding"};
      return false;
    }
    std::string_view line = std::string_view(c.in).substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string size = trimmed(line.substr(0, line.find(';')));
    c.in.erase(0, newline + 1);
    if (size.empty() || size.size() > 15 || size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      refusal = Refusal{400, "a chunk size is not a hexadecimal number", "Transfer-Encoding"};
      return false;
    }
    const std::size_t value = std::stoull(size, nullptr, 16);
    if (c.body.size() + value > c.bodyLimit) {
      refusal = tooLarge(c);
      return false;
    }
    c.remaining = value;
    c.phase = value == 0 ? Phase::kTrailer : Phase::kChunkData;
    return true;
  }

  void refuse(Connection& c, const Refusal& refusal) {
    const std::string bytes = refusalBytes(refusal);
    [[maybe_unused]] auto sent = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Phase::kDraining;
    c.in.clear();
    c.body.clear();
    setDeadline(c, Clock::now() + kDrainTime);
  }

  void dispatch(Connection& c) {
    c.phase = Phase::kBusy;
    setDeadline(c, std::nullopt);
    watch(c.fd, false);
    auto request = std::make_shared<std::string>(c.head + "Content-Length: " + std::to_string(c.body.size()) +
                                                 "\r\n\r\n" + c.body);
    c.body.clear();
    pool->enqueue([this, fd = c.fd, request, stream = std::make_shared<RequestStream>(
                                                  c.fd, *request, c, limits.writeTimeout)] {
      const bool keep = routes.serveOne(*stream) && !stream->failed();
      {
        std::lock_guard lock(finishedMu);
        finished.emplace_back(fd, keep);
      }
      const std::uint64_t one = 1;
      [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
    });
  }

  void resumeFinished() {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = ::read(wakeFd, &count, sizeof count);
    std::vector<std::pair<int, bool>> done;
    {
      std::lock_guard lock(finishedMu);
      done.swap(finished);
    }
    for (const auto& [fd, keep] : done) {
      Connection& c = connections.at(fd);
      if (!keep) {
        closeConnection(c);
        continue;
      }
      c.phase = Phase::kIdle;
      watch(fd, true);
      setDeadline(c, Clock::now() + limits.idleTimeout);
      advance(c);  // a request sent behind the last one
    }
  }

  void expireTimers() {
    const auto now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
      Connection& c = connections.at(timers.begin()->second);
      setDeadline(c, std::nullopt);
      if (c.phase == Phase::kIdle || c.phase == Phase::kDraining) {
        closeConnection(c);
      } else {
        refuse(c, {408, c.phase == Phase::kHead ? "the request head did not arrive in time"
                                                : "the request body did not arrive in time",
                   ""});
      }
    }
  }
};

HttpFront::HttpFront(RouteServer& routes, FrontLimits limits)
    : routes_(routes), limits_(limits), reactor_(std::make_unique<Reactor>(routes_, limits_)) {}

HttpFront::~HttpFront() { stop(); }

int HttpFront::bind(const std::string& host, int port) {
  const std::string address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    throw std::runtime_error("cannot listen on " + address + ": " + ::gai_strerror(rc));
  }
  std::string why = "no address";
  int fd = -1;
  for (auto* a = found; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // SO_REUSEADDR only lets a restart bind over connections in TIME_WAIT;
    // without SO_REUSEPORT a port another server listens on stays refused.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      why = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) throw std::runtime_error("cannot listen on " + address + ": " + why);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  reactor_->listenFd = fd;
  return peerOf(bound).port;
}

void HttpFront::start() {
  auto& r = *reactor_;
  r.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  r.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (r.listenFd < 0 || r.epollFd < 0 || r.wakeFd < 0) throw std::runtime_error("the HTTP server cannot start");
  r.watch(r.listenFd, true);
  r.watch(r.wakeFd, true);
  r.pool = std::make_unique<httplib::ThreadPool>(static_cast<std::size_t>(std::max(1, limits_.threads)));
  thread_ = std::thread([&r] { r.run(); });
}

void HttpFront::stop() {
  if (!reactor_) return;
  reactor_->stopping = true;
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(reactor_->wakeFd, &one, sizeof one);
    thread_.join();
  }
  if (reactor_->pool) reactor_->pool->shutdown();  // the requests being served finish
  reactor_.reset();                                // closes every connection
}

}  // namespace reviri::gateway
