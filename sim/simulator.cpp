// sim/simulator.cpp - a simulated GSM modem on a pseudo-terminal.
#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace reviri::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Output goes out in small pieces when throttled, so the pacing is smooth.
constexpr std::size_t kThrottleChunk = 8;

[[noreturn]] void failErrno(const std::string& what) {
  throw std::runtime_error("simulated modem: " + what + ": " + std::strerror(errno));
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The text after the first `n` words of `s`.
std::string restAfterWords(const std::string& s, std::size_t n) {
  std::size_t p = 0;
  for (std::size_t i = 0; i < n; ++i) {
    p = s.find_first_not_of(' ', p);
    p = s.find(' ', p);
    if (p == std::string::npos) return {};
  }
  return s.substr(p + 1);
}

}  // namespace

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string escape(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (byte < 0x20 || byte == 0x7F) out += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
    else out += c;
  }
  return out;
}

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), modem_(*this, options_.identity) {}

Simulator::~Simulator() { stop(); }

void Simulator::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    openTerminal();
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) failErrno("pipe");
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];

  if (!options_.controlSocket.empty()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options_.controlSocket.size() >= sizeof addr.sun_path)
      throw std::runtime_error("simulated modem: control socket path too long");
    std::strcpy(addr.sun_path, options_.controlSocket.c_str());
    ::unlink(addr.sun_path);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_ < 0) failErrno("socket");
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0)
      failErrno("control socket " + options_.controlSocket);
  }
  if (!options_.pduLog.empty()) {
    pduLog_ = ::open(options_.pduLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (pduLog_ < 0) failErrno("PDU log " + options_.pduLog);
  }
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void Simulator::openTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) failErrno("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) failErrno("unlocking the pseudo-terminal");
  char name[128] = {};
  if (::ptsname_r(master_, name, sizeof name) != 0) failErrno("ptsname");
  devicePath_ = name;
  // Holding the slave open ourselves keeps the master from reading EIO
  // between one client's close and the next client's open.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) failErrno("opening " + devicePath_);
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_, TCSANOW, &tio);
  setNonBlocking(master_);
  if (!options_.symlink.empty()) {
    // Made under another name and renamed: the path appears at once,
    // already pointing at a terminal that answers.
    const std::string fresh = options_.symlink + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(devicePath_.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), options_.symlink.c_str()) != 0)
      failErrno("symlink " + options_.symlink);
  }
}

void Simulator::stop() {
  if (thread_.joinable()) {
    stop_ = true;
    wake();
    thread_.join();
  }
  for (auto& [fd, partial] : clients_) ::close(fd);
  clients_.clear();
  for (int* fd : {&master_, &slave_, &wakeRead_, &wakeWrite_, &listen_, &pduLog_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!options_.symlink.empty()) ::unlink(options_.symlink.c_str());
  if (!options_.controlSocket.empty()) ::unlink(options_.controlSocket.c_str());
}

void Simulator::wake() {
  if (wakeWrite_ >= 0) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(wakeWrite_, &c, 1);
  }
}

// ---- ModemHost ---------------------------------------------------------------------

void Simulator::output(std::string bytes, bool answer) {
  auto due = Clock::now() + (answer ? delay_ : std::chrono::milliseconds(0));
  // Bytes leave in order: nothing overtakes a delayed answer.
  if (!out_.empty() && out_.back().due > due) due = out_.back().due;
  if (!out_.empty() && out_.back().due == due)
    out_.back().bytes += bytes;
  else
    out_.push_back({due, std::move(bytes)});
  wake();
}

void Simulator::after(std::chrono::milliseconds delay, std::function<void()> action) {
  timers_.emplace(Clock::now() + delay, std::move(action));
  wake();
}

void Simulator::sentToNetwork(const SentMessage& message) {
  if (pduLog_ < 0) return;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const std::string line =
      std::to_string(micros.count()) + " " + message.number + " " + escape(message.text) + "\n";
  // One write with O_APPEND: the line lands whole even if others append too.
  // A failed write loses one probe line, never the modem's answer.
  [[maybe_unused]] const ssize_t written = ::write(pduLog_, line.data(), line.size());
}

// ---- Serving -------------------------------------------------------------------------

int Simulator::timeoutMs() {
  const auto now = Clock::now();
  auto next = now + std::chrono::milliseconds(500);
  if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
  if (!out_.empty() && !blocked_) next = std::min(next, std::max(out_.front().due, nextWrite_));
  if (next <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

void Simulator::writeDue() {
  const auto now = Clock::now();
  blocked_ = false;
  if (master_ < 0) {
    out_.clear();  // unplugged: nobody hears it
    return;
  }
  while (!out_.empty() && out_.front().due <= now) {
    std::string& bytes = out_.front().bytes;
    const std::size_t n = baud_ > 0 ? std::min(bytes.size(), kThrottleChunk) : bytes.size();
    if (baud_ > 0) {
      // A chunk reaches the other end once its bytes' ten bit times (start
      // bit, eight data bits, stop bit) have passed after the line became
      // free. The schedule, not the (late, millisecond) wake-up, decides, so
      // the line keeps its speed; after a pause the line starts afresh.
      if (!paced_) lineFree_ = std::max(lineFree_, now);
      paced_ = true;
      const auto ready = lineFree_ + lineTime(n);
      if (ready > now) {
        nextWrite_ = ready;
        return;
      }
    }
    const ssize_t written = ::write(master_, bytes.data(), n);
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) blocked_ = errno == EAGAIN;
      return;
    }
    bytes.erase(0, static_cast<std::size_t>(written));
    if (bytes.empty()) out_.pop_front();
    if (baud_ > 0) lineFree_ += lineTime(static_cast<std::size_t>(written));
  }
  paced_ = false;  // nothing ready to send: the line goes idle
}

std::chrono::microseconds Simulator::lineTime(std::size_t bytes) const {
  return std::chrono::microseconds(static_cast<long long>(bytes) * 10'000'000LL / baud_);
}

void Simulator::run() {
  while (!stop_) {
    std::vector<pollfd> fds;
    int timeout;
    {
      std::lock_guard<std::mutex> lock(mu_);
      timeout = timeoutMs();
      fds.push_back({wakeRead_, POLLIN, 0});
      fds.push_back({master_, static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0)), 0});
    }
    if (listen_ >= 0) fds.push_back({listen_, POLLIN, 0});
    for (const auto& [fd, partial] : clients_) fds.push_back({fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), timeout);
    if (stop_) break;

    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      // Under the lock: an unplug may close the terminal meanwhile.
      std::lock_guard<std::mutex> lock(mu_);
      char buf[1024];
      const ssize_t n = master_ == fds[1].fd ? ::read(master_, buf, sizeof buf) : -1;
      if (n > 0) feedModem(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    std::vector<int> ready;
    for (std::size_t i = 2; i < fds.size(); ++i)
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ready.push_back(fds[i].fd);
    serveControlClients(ready);

    std::lock_guard<std::mutex> lock(mu_);
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
    writeDue();
  }
}

void Simulator::serveControlClients(std::vector<int>& ready) {
  for (int fd : ready) {
    if (fd == listen_) {
      const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) clients_[client];
      continue;
    }
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      ::close(fd);
      clients_.erase(fd);
      continue;
    }
    std::string& partial = clients_[fd];
    partial.append(buf, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = partial.find('\n')) != std::string::npos;) {
      std::string request = partial.substr(0, eol);
      partial.erase(0, eol + 1);
      if (!request.empty() && request.back() == '\r') request.pop_back();
      std::string reply;
      for (const auto& l : control(request)) reply += l + "\n";
      // Replies are short; a client that does not read them loses them.
      [[maybe_unused]] const auto w = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    if (partial.size() > 65536) partial.clear();
  }
}

// ---- Control -------------------------------------------------------------------------

std::vector<std::string> Simulator::control(const std::string& request) {
  const auto w = words(request);
  if (w.empty()) return {"ERROR empty request"};
  const std::string& verb = w[0];
  auto onOff = [&](bool& value) {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return false;
    value = w[1] == "on";
    return true;
  };
  if (verb == "inject") {
    bool ucs2 = false, flash = false, inParts = false;
    std::size_t i = 1;
    for (; i < w.size(); ++i) {
      if (w[i] == "ucs2") ucs2 = true;
      else if (w[i] == "7bit") ucs2 = false;
      else if (w[i] == "flash") flash = true;
      else if (w[i] == "normal") flash = false;
      else if (w[i] == "long") inParts = true;
      else break;
    }
    if (i >= w.size()) return {"ERROR usage: inject [7bit|ucs2] [normal|flash] [long] SENDER TEXT"};
    const std::string text = unescape(restAfterWords(request, i + 1));
    const std::string why =
        inParts ? injectLongMessage(w[i], text, ucs2, flash) : injectMessage(w[i], text, ucs2, flash);
    return {why.empty() ? "OK" : "ERROR " + why};
  }
  if (verb == "refuse") return refuseRequest(w);
  if (verb == "hang" || verb == "unplug" || verb == "plug" || verb == "powercycle") return hangRequest(w);
  if (verb == "ring") return ringRequest(w);
  if (verb == "raw") {
    injectRaw(unescape(restAfterWords(request, 1)));
    return {"OK"};
  }
  if (verb == "delay" || verb == "speed" || verb == "signal" || verb == "storage") {
    long v = -1;
    if (w.size() == 2) {
      try {
        std::size_t used = 0;
        v = std::stol(w[1], &used);
        if (used != w[1].size()) v = -1;
      } catch (const std::exception&) {
        v = -1;
      }
    }
    if (v < 0) return {"ERROR usage: " + verb + " NUMBER"};
    if (verb == "delay") setAnswerDelay(std::chrono::milliseconds(v));
    if (verb == "speed") setLineSpeed(v);
    if (verb == "signal") {
      if (v > 31 && v != 99) return {"ERROR signal is 0-31 or 99"};
      std::lock_guard<std::mutex> lock(mu_);
      modem_.setSignal(static_cast<int>(v));
    }
    if (verb == "storage") {
      std::lock_guard<std::mutex> lock(mu_);
      const std::string why = modem_.setSimSlots(static_cast<int>(v));
      if (!why.empty()) return {"ERROR " + why};
    }
    return {"OK"};
  }
  if (verb == "pin") {
    if (w.size() != 2) return {"ERROR usage: pin CODE|off"};
    std::lock_guard<std::mutex> lock(mu_);
    modem_.setPin(w[1] == "off" ? "" : w[1]);
    return {"OK"};
  }
  if (verb == "report") {
    int status = -2;
    if (w.size() == 2 && w[1] == "off") status = -1;
    else if (w.size() == 2) {
      try {
        std::size_t used = 0;
        status = std::stoi(w[1], &used, 0);
        if (used != w[1].size() || status < 0 || status > 255) status = -2;
      } catch (const std::exception&) {
        status = -2;
      }
    }
    if (status == -2) return {"ERROR usage: report STATUS|off (TP-ST, 0 = delivered, e.g. 0x46 = expired)"};
    std::lock_guard<std::mutex> lock(mu_);
    modem_.setReportStatus(status);
    return {"OK"};
  }
  if (verb == "silent") {
    bool silent = false;
    if (!onOff(silent)) return {"ERROR usage: silent on|off"};
    setSilent(silent);
    return {"OK"};
  }
  if (verb == "quirk") {
    if (w.size() == 3 && w[1] == "split") {
      Quirks q = quirks();
      try {
        std::size_t used = 0;
        const int n = std::stoi(w[2], &used);
        if (used != w[2].size() || n < 0 || n > 1000) throw std::invalid_argument(w[2]);
        q.split = n;
      } catch (const std::exception&) {
        return {"ERROR usage: quirk split BYTES (0-1000)"};
      }
      setQuirks(q);
      return {"OK"};
    }
    bool on = false;
    if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return {"ERROR usage: quirk NAME on|off"};
    on = w[2] == "on";
    if (!setQuirk(w[1], on)) return {"ERROR unknown quirk " + w[1]};
    return {"OK"};
  }
  if (verb == "heard") {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const auto& [command, count] : heard_) out.push_back(command + " " + std::to_string(count));
    out.push_back("OK");
    return out;
  }
  if (verb == "dump" || verb == "sent") {
    std::vector<std::string> out;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (verb == "dump") {
        out = modem_.dump();
        out.push_back("device " + devicePath_ + ", answer delay " + std::to_string(delay_.count()) +
                      " ms, speed " + (baud_ > 0 ? std::to_string(baud_) : std::string("unthrottled")));
        out.push_back(std::string(modem_.ringing() ? "a call rings" : "no call rings") + ", calls hung up " +
                      std::to_string(modem_.callsHungUp()));
      } else {
        for (const auto& s : modem_.sent())
          out.push_back(std::to_string(s.reference) + " " + s.number + (s.ucs2 ? " ucs2" : " 7bit") +
                        (s.flash ? " flash " : " normal ") + s.text);
      }
    }
    out.push_back("OK");
    return out;
  }
  if (verb == "help") {
    return {"inject [7bit|ucs2] [normal|flash] [long] SENDER TEXT", "raw TEXT", "delay MS", "speed BAUD",
            "silent on|off", "signal N", "storage N", "quirk NAME on|off", "quirk split BYTES", "pin CODE|off",
            "report STATUS|off", "refuse CODE [COUNT] [later]", "refuse off", "hang soft|hard|off", "unplug",
            "plug", "powercycle [MS]", "ring NUMBER|withheld [every MS] [rings N]", "ring off", "heard", "dump",
            "sent", "OK"};
  }
  return {"ERROR unknown request " + verb + " (try help)"};
}

// ring NUMBER|withheld [every MS] [rings N] | ring off
std::vector<std::string> Simulator::ringRequest(const std::vector<std::string>& w) {
  const std::string usage = "ERROR usage: ring NUMBER|withheld [every MS] [rings N], or ring off";
  if (w.size() == 2 && w[1] == "off") {
    std::lock_guard<std::mutex> lock(mu_);
    return {modem_.callerHangsUp() ? "OK" : "ERROR no call rings"};
  }
  if (w.size() < 2 || w.size() % 2 != 0) return {usage};
  const std::string number = w[1] == "withheld" ? "" : w[1];
  if (!number.empty() && number.find_first_not_of("+0123456789") != std::string::npos)
    return {"ERROR ring: \"" + w[1] + "\" is neither a number nor withheld"};
  long every = 3000, rings = 10;
  for (std::size_t i = 2; i + 1 < w.size(); i += 2) {
    long* slot = w[i] == "every" ? &every : w[i] == "rings" ? &rings : nullptr;
    std::size_t used = 0;
    try {
      if (slot) *slot = std::stol(w[i + 1], &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (!slot || used != w[i + 1].size() || *slot < 1) return {usage};
  }
  std::lock_guard<std::mutex> lock(mu_);
  modem_.ring(number, std::chrono::milliseconds(every), static_cast<int>(rings));
  return {"OK"};
}

std::string Simulator::injectMessage(const std::string& sender, const std::string& text, bool ucs2,
                                     bool flash, const std::string& udhHex) {
  std::lock_guard<std::mutex> lock(mu_);
  return modem_.receive(sender, text, ucs2, flash, udhHex);
}

std::string Simulator::injectLongMessage(const std::string& sender, const std::string& text, bool ucs2,
                                         bool flash) {
  // Room for text in a part next to the 6-octet concatenation header.
  const std::size_t room = ucs2 ? 67 : 153;
  std::vector<std::string> parts{std::string()};
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;  // the UTF-8 sequence of one character
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xF0) length = 4;
    else if (lead >= 0xE0) length = 3;
    else if (lead >= 0xC0) length = 2;
    const std::string character = text.substr(i, length);
    i += length;
    const std::size_t cost = ucs2 ? (length == 4 ? 2 : 1) : gsm7Septets(character).size();
    if (used + cost > room) {
      parts.emplace_back();
      used = 0;
    }
    parts.back() += character;
    used += cost;
  }
  if (parts.size() == 1) return injectMessage(sender, text, ucs2, flash);
  if (parts.size() > 255) return "the text needs more than 255 parts";
  std::lock_guard<std::mutex> lock(mu_);
  concatReference_ = concatReference_ % 255 + 1;
  const int total = static_cast<int>(parts.size());
  for (int part = 1; part <= total; ++part) {
    const std::string why = modem_.receive(sender, parts[static_cast<std::size_t>(part - 1)], ucs2, flash,
                                           concatenationHeader(concatReference_, total, part));
    if (!why.empty()) return "part " + std::to_string(part) + " of " + std::to_string(total) + ": " + why;
  }
  return {};
}

std::vector<std::string> Simulator::refuseRequest(const std::vector<std::string>& w) {
  static const std::string kUsage = "ERROR usage: refuse CODE [COUNT] [later] | refuse off";
  if (w.size() == 2 && w[1] == "off") {
    std::lock_guard<std::mutex> lock(mu_);
    modem_.setRefusal(0, 0, false);
    return {"OK"};
  }
  auto number = [](const std::string& word, int max) {
    if (word.empty() || word.size() > 5 || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    const int value = std::stoi(word);
    return value <= max ? value : -1;
  };
  if (w.size() < 2 || w.size() > 4) return {kUsage};
  const int code = number(w[1], 511);
  if (code < 0) return {kUsage + " (CODE is 0-511)"};
  int count = -1;
  bool later = false;
  for (std::size_t i = 2; i < w.size(); ++i) {
    if (w[i] == "later" && !later) {
      later = true;
    } else if (i == 2 && number(w[i], 65535) > 0) {
      count = number(w[i], 65535);
    } else {
      return {kUsage + " (COUNT is 1-65535)"};
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  modem_.setRefusal(code, count, later);
  return {"OK"};
}

void Simulator::withModem(const std::function<void(CommandInterpreter&)>& action) {
  std::lock_guard<std::mutex> lock(mu_);
  action(modem_);
}

void Simulator::injectRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  modem_.unsolicited(bytes);
}

void Simulator::setAnswerDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mu_);
  delay_ = delay;
}

void Simulator::setLineSpeed(long baud) {
  std::lock_guard<std::mutex> lock(mu_);
  baud_ = baud;
  wake();
}

void Simulator::setQuirks(const Quirks& quirks) {
  std::lock_guard<std::mutex> lock(mu_);
  modem_.setQuirks(quirks);
}

Quirks Simulator::quirks() {
  std::lock_guard<std::mutex> lock(mu_);
  return modem_.quirks();
}

void Simulator::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mu_);
  modem_.setSilent(silent);
}

bool Simulator::setQuirk(const std::string& name, bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  return modem_.setQuirk(name, on);
}

std::vector<SentMessage> Simulator::sentMessages() {
  std::lock_guard<std::mutex> lock(mu_);
  return modem_.sent();
}

// ---- Hangs, unplugging and resets ---------------------------------------------------

std::vector<std::string> Simulator::hangRequest(const std::vector<std::string>& w) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::string& verb = w[0];
  if (verb == "hang") {
    if (w.size() != 2 || (w[1] != "soft" && w[1] != "hard" && w[1] != "off"))
      return {"ERROR usage: hang soft|hard|off"};
    hang_ = w[1] == "soft" ? Hang::kSoft : w[1] == "hard" ? Hang::kHard : Hang::kNone;
    heardLine_.clear();
    return {"OK"};
  }
  if (w.size() > (verb == "powercycle" ? 2u : 1u)) return {"ERROR usage: " + verb + (verb == "powercycle" ? " [MS]" : "")};
  if (verb == "unplug") {
    if (master_ < 0) return {"ERROR already unplugged"};
    closeTerminal();
  } else if (verb == "plug") {
    if (master_ >= 0) return {"ERROR already plugged in"};
    try {
      openTerminal();
    } catch (const std::exception& e) {
      return {std::string("ERROR ") + e.what()};
    }
  } else {
    long offFor = 300;
    if (w.size() == 2) {
      const std::string& ms = w[1];
      if (ms.empty() || ms.size() > 6 || ms.find_first_not_of("0123456789") != std::string::npos)
        return {"ERROR usage: powercycle [MS] (0-999999)"};
      offFor = std::stol(ms);
    }
    powerCycle(std::chrono::milliseconds(offFor));
  }
  wake();  // the loop polls the new terminal, or none
  return {"OK"};
}

void Simulator::closeTerminal() {
  for (int* fd : {&master_, &slave_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!options_.symlink.empty()) ::unlink(options_.symlink.c_str());
  out_.clear();  // what was on its way is lost with the line
  blocked_ = false;
}

void Simulator::powerCycle(std::chrono::milliseconds offFor) {
  closeTerminal();
  hang_ = Hang::kNone;
  heardLine_.clear();
  modem_.setSilent(false);
  after(offFor, [this] {
    if (master_ >= 0) return;  // plugged in by hand meanwhile
    try {
      openTerminal();
    } catch (const std::exception&) {
      closeTerminal();  // stays unplugged; a plug request tries again
    }
  });
}

// Every command line is counted (the "heard" request); a hung (or deaf)
// modem drops what it reads, but a soft hang still hears the reboot
// command, as the radio part of real modems often does.
void Simulator::feedModem(std::string_view bytes) {
  const bool deaf = hang_ != Hang::kNone || modem_.silent();
  if (!deaf) modem_.feed(bytes);
  for (const char c : bytes) {
    if (c == '\x1a' || c == '\x1b') {  // a PDU's end, or ESC: no command line
      heardLine_.clear();
      continue;
    }
    if (c != '\r') {
      if (heardLine_.size() < 64 && c != '\n') heardLine_ += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      continue;
    }
    const auto at = heardLine_.find("AT");
    if (at != std::string::npos) ++heard_[heardLine_.substr(at, heardLine_.find_first_of("=?", at) - at)];
    const bool reboot = deaf && hang_ != Hang::kHard && heardLine_.find("AT+CFUN=1,1") != std::string::npos;
    heardLine_.clear();
    if (reboot) return powerCycle(std::chrono::milliseconds(300));
  }
}

}  // namespace reviri::sim
