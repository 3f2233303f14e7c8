// The simulated modem on a real pseudo-terminal: raw clients, the library,
// the control channel (in-process and over its socket), delays, throttling.
#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "reviri/modem.h"
#include "reviri/reviri.h"

namespace reviri::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A minimal serial client: raw mode, reads until a text shows up.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd_, 0) << path;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~RawClient() { ::close(fd_); }
  void write(const std::string& s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // Everything read until `until` appears or `timeout` passes.
  std::string readUntil(const std::string& until, std::chrono::milliseconds timeout = 3000ms) {
    std::string got;
    const auto end = Clock::now() + timeout;
    while (got.find(until) == std::string::npos || until.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left <= 0ms) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

std::string socketPath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string(name) + std::to_string(::getpid()))).string();
}

TEST(SimulatorTest, AnswersARawClientAndOutlivesItsClose) {
  Simulator sim;
  sim.start();
  ASSERT_TRUE(sim.devicePath().starts_with("/dev/"));
  for (int session = 0; session < 2; ++session) {
    RawClient client(sim.devicePath());
    client.write("AT\r");
    EXPECT_EQ(client.readUntil("OK\r\n"), "AT\r\r\nOK\r\n");
  }
}

TEST(SimulatorTest, ServesTheLibraryThroughTheSerialLayer) {
  Simulator sim;
  sim.start();
  ReviriOptions options;
  options.sleep = [](std::chrono::milliseconds) {};
  Reviri modem(options);
  modem.setTimeRe(2e6 / 50);  // 2 s
  ASSERT_TRUE(modem.inimodem(sim.devicePath(), "115200,n,8,1"));
  EXPECT_EQ(modem.at("AT+CGMM\r"), "\r\nRSM-07 simulated GSM modem\r\n\r\nOK\r\n");  // echo is off now
  EXPECT_EQ(modem.at("AT+CMGF?\r"), "\r\n+CMGF: 0\r\n\r\nOK\r\n");
}

TEST(SimulatorTest, ControlChannelInjectsDumpsAndRefuses) {
  Simulator sim;
  sim.start();
  RawClient client(sim.devicePath());
  client.write("ATE0;+CNMI=1,1,0,0\r");
  client.readUntil("OK\r\n");
  EXPECT_EQ(sim.control("inject ucs2 flash +4915100000 Grüße aus Köln"), std::vector<std::string>{"OK"});
  EXPECT_EQ(client.readUntil("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
  const auto dump = sim.control("dump");
  ASSERT_FALSE(dump.empty());
  EXPECT_EQ(dump.back(), "OK");
  bool found = false;
  for (const auto& line : dump) found |= line.starts_with("message SM 1 status 0 +4915100000 Grüße aus Köln");
  EXPECT_TRUE(found);

  EXPECT_EQ(sim.control("raw +CUSTOM: 1\\r\\n"), std::vector<std::string>{"OK"});
  EXPECT_EQ(client.readUntil("\r\n"), "+CUSTOM: 1\r\n");
  for (const char* bad : {"", "bogus", "inject", "delay x", "speed -3", "silent maybe", "signal 40",
                          "inject 7bit +1555 " /* text of 161 septets follows */}) {
    std::string request = bad;
    if (request.starts_with("inject 7bit")) request += std::string(161, 'x');
    const auto reply = sim.control(request);
    ASSERT_EQ(reply.size(), 1u) << request;
    EXPECT_TRUE(reply[0].starts_with("ERROR")) << request << " -> " << reply[0];
  }
}

TEST(SimulatorTest, ControlSocketSpeaksTheSameProtocol) {
  SimulatorOptions options;
  options.controlSocket = socketPath("reviri-sim-test-");
  Simulator sim(options);
  sim.start();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, options.controlSocket.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string requests = "signal 7\ninject +4915100000 hi there\nsent\n";
  ASSERT_EQ(::write(fd, requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));
  std::string replies;
  const auto end = Clock::now() + 3s;
  while (replies != "OK\nOK\nOK\n" && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buf[256];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) replies.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  EXPECT_EQ(replies, "OK\nOK\nOK\n");
  RawClient client(sim.devicePath());
  client.write("AT+CSQ\r");
  EXPECT_NE(client.readUntil("OK\r\n").find("+CSQ: 7,99"), std::string::npos);
  sim.stop();
  EXPECT_FALSE(std::filesystem::exists(options.controlSocket));
}

TEST(SimulatorTest, SymlinkNamesTheDeviceWhileRunning) {
  SimulatorOptions options;
  options.symlink = socketPath("reviri-sim-link-");
  Simulator sim(options);
  sim.start();
  EXPECT_EQ(std::filesystem::read_symlink(options.symlink).string(), sim.devicePath());
  RawClient client(options.symlink);
  client.write("AT\r");
  EXPECT_EQ(client.readUntil("OK\r\n"), "AT\r\r\nOK\r\n");
  sim.stop();
  EXPECT_FALSE(std::filesystem::is_symlink(options.symlink));
}

TEST(SimulatorTest, PduLogNotesEachSentMessageWithItsWallClockTime) {
  SimulatorOptions options;
  options.pduLog = socketPath("reviri-sim-pdus-");
  std::filesystem::remove(options.pduLog);
  const auto micros = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  {
    Simulator sim(options);
    sim.start();
    RawClient client(sim.devicePath());
    client.write("ATE0\r");
    client.readUntil("OK\r\n");
    const long long before = micros();
    client.write("AT+CMGS=24\r");
    ASSERT_EQ(client.readUntil("> "), "\r\n> ");
    client.write("0001000B917228001011F100000CC8329BFD065DDF72363904\x1A");  // "Hello World!"
    ASSERT_EQ(client.readUntil("OK\r\n"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    const long long after = micros();
    client.write("AT+CMGS=24\r");
    client.readUntil("> ");
    client.write("0001000B917228001011F100000CC8329BFD065DDF72363904\x1B");  // cancelled: not sent

    client.readUntil("OK\r\n");
    std::ifstream in(options.pduLog);
    long long when = 0;
    std::string rest, extra;
    ASSERT_TRUE(in >> when) << options.pduLog;
    std::getline(in, rest);
    EXPECT_GE(when, before);
    EXPECT_LE(when, after);
    EXPECT_EQ(rest, " +27820001111 Hello World!");
    EXPECT_FALSE(std::getline(in, extra)) << extra;
  }
  std::filesystem::remove(options.pduLog);

  options.pduLog = "/nonexistent-dir/pdus";
  Simulator refused(options);
  try {
    refused.start();
    FAIL() << "started with a PDU log it cannot write";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/pdus"), std::string::npos) << e.what();
  }
}

TEST(SimulatorTest, EscapeKeepsAnyTextOnOneLineAndUnescapeUndoesIt) {
  const std::string text = "a\\b\r\n\tc\x01\x7F Grüße \\x41";
  const std::string line = escape(text);
  EXPECT_EQ(line, "a\\\\b\\r\\n\\tc\\x01\\x7F Grüße \\\\x41");
  EXPECT_EQ(unescape(line), text);
}

TEST(SimulatorTest, DelaysAnswersButNotTheEcho) {
  Simulator sim;
  sim.start();
  sim.setAnswerDelay(300ms);
  RawClient client(sim.devicePath());
  const auto start = Clock::now();
  client.write("AT\r");
  EXPECT_EQ(client.readUntil("AT\r", 250ms), "AT\r");
  EXPECT_EQ(client.readUntil("OK\r\n"), "\r\nOK\r\n");
  EXPECT_GE(Clock::now() - start, 300ms);
}

TEST(SimulatorTest, ThrottlesOutputToTheLineSpeed) {
  Simulator sim;
  sim.start();
  for (int i = 0; i < 8; ++i) ASSERT_EQ(sim.injectMessage("+4915100000", std::string(60, 'a')), "");
  sim.setLineSpeed(19200);
  RawClient client(sim.devicePath());
  const auto start = Clock::now();
  client.write("ATE0;+CMGL=4\r");
  const std::string listing = client.readUntil("OK\r\n", 5000ms);
  ASSERT_TRUE(listing.ends_with("OK\r\n"));
  // Ten bit times per byte at 19200 baud; the answer cannot arrive faster.
  const auto floor = std::chrono::microseconds(static_cast<long long>(listing.size()) * 10'000'000 / 19200);
  EXPECT_GE(Clock::now() - start, floor);
}

TEST(SimulatorTest, QuirksAreSwitchedByName) {
  Simulator sim;
  EXPECT_EQ(sim.control("quirk blanks on"), std::vector<std::string>{"OK"});
  EXPECT_EQ(sim.control("quirk blanks off"), std::vector<std::string>{"OK"});
  EXPECT_EQ(sim.control("quirk no-such on"), std::vector<std::string>{"ERROR unknown quirk no-such"});
  EXPECT_EQ(sim.control("quirk blanks"), std::vector<std::string>{"ERROR usage: quirk NAME on|off"});
  for (const auto& name : CommandInterpreter::quirkNames()) EXPECT_TRUE(sim.setQuirk(name, false)) << name;
}

TEST(SimulatorTest, SilentModemSaysNothing) {
  Simulator sim;
  sim.start();
  EXPECT_EQ(sim.control("silent on"), std::vector<std::string>{"OK"});
  RawClient client(sim.devicePath());
  client.write("AT\r");
  EXPECT_EQ(client.readUntil("OK", 300ms), "");
}

// "refuse" turns sends down as a network does (COUNT times or until "refuse
// off"; with "later" only parts 2, 3, ...), and "inject long" delivers a long
// text in parts that the library joins again.
TEST(SimulatorTest, RefusesSendsOnRequestAndInjectsLongMessagesInParts) {
  Simulator sim;
  sim.start();
  ModemOptions options;
  options.sleep = [](std::chrono::milliseconds) {};
  options.lockPort = false;
  reviri::Modem modem(options);
  modem.open(sim.devicePath());
  const std::string twoParts = std::string(150, 'a') + std::string(100, 'b');
  using Outcome = SendResult::Outcome;
  struct Case {
    const char* request;
    std::string text;
    Outcome outcome;
    int code;               // of the error, -1 when sent
    std::size_t partsOut;   // that reached the network
  };
  const Case cases[] = {
      {"refuse 42 1 later", twoParts, Outcome::kSent, -1, 2},  // part 2 refused once, then retried
      {"refuse 21 later", "short", Outcome::kSent, -1, 1},     // a one-part message is no later part
      {"", twoParts, Outcome::kFailed, 21, 1},                  // still refusing: part 1 only
      {"refuse off", twoParts, Outcome::kSent, -1, 2},
      {"refuse 42 3", "short", Outcome::kFailed, 42, 0},        // every attempt refused
      {"", "short", Outcome::kSent, -1, 1},                     // the three are used up
  };
  for (const auto& c : cases) {
    if (*c.request) {
      ASSERT_EQ(sim.control(c.request), std::vector<std::string>{"OK"}) << c.request;
    }
    const std::size_t before = sim.sentMessages().size();
    OutgoingMessage message;
    message.to = "+4915100001";
    message.text = c.text;
    const SendResult result = modem.send(message);
    EXPECT_EQ(result.outcome, c.outcome) << c.request << " " << c.text.size();
    if (c.code >= 0) {
      EXPECT_EQ(result.error.code, c.code) << c.request;
    }
    EXPECT_EQ(sim.sentMessages().size() - before, c.partsOut) << c.request << " " << c.text.size();
  }
  sim.control("refuse 38 2");
  bool shown = false;
  for (const auto& line : sim.control("dump")) shown |= line == "refusing with +CMS ERROR: 38, 2 left";
  EXPECT_TRUE(shown);
  for (const char* bad : {"refuse", "refuse x", "refuse 42 0", "refuse 42 2 later x", "refuse 600", "refuse 42 later later"})
    EXPECT_TRUE(sim.control(bad).at(0).starts_with("ERROR usage: refuse")) << bad;

  std::vector<IncomingMessage> got;
  modem.onMessage = [&](const IncomingMessage& m) { got.push_back(m); };
  std::string umlauts;
  for (int i = 0; i < 100; ++i) umlauts += "ü";
  for (const std::string& request : {"inject long +4915100002 " + twoParts, "inject ucs2 long +4915100002 " + umlauts})
    EXPECT_EQ(sim.control(request), std::vector<std::string>{"OK"}) << request;
  for (auto end = Clock::now() + 5s; got.size() < 2 && Clock::now() < end;) modem.poll(100ms);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, twoParts);
  EXPECT_EQ(got[0].partsReceived, 2);
  EXPECT_EQ(got[1].text, umlauts);
  EXPECT_EQ(got[1].partsReceived, 2);
}

}  // namespace
}  // namespace reviri::sim
