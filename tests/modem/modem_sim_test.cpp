// The typed Modem against the simulated modem on a pseudo-terminal: whole
// messages out and back, delivery reports, PIN, the port lock, and parts
// that survive a process that stopped between them.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "reviri/modem.h"
#include "sim/simulator.h"

namespace reviri {
namespace {

using namespace std::chrono_literals;

OutgoingMessage message(const std::string& to, const std::string& text, bool report = false) {
  OutgoingMessage m;
  m.to = to;
  m.text = text;
  m.statusReport = report;
  return m;
}

class ModemSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lockDir = std::filesystem::temp_directory_path() / ("reviri-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(lockDir);
  }
  void TearDown() override { std::filesystem::remove_all(lockDir); }

  void startSim(sim::SimulatorOptions options = {}) {
    sim = std::make_unique<sim::Simulator>(std::move(options));
    sim->start();
  }

  ModemOptions options() const {
    ModemOptions o;
    o.lockDirectory = lockDir.string();
    o.firstConcatReference = 0x41;
    o.sendTimeout = 5000ms;
    return o;
  }

  // Opens a Modem that records what it hands over.
  std::unique_ptr<Modem> openModem(ModemOptions o) {
    auto m = std::make_unique<Modem>(std::move(o));
    m->onMessage = [this](const IncomingMessage& msg) { received.push_back(msg); };
    m->onStatusReport = [this](const StatusReport& r) { reports.push_back(r); };
    m->onError = [this](const Error& e) { errors.push_back(e); };
    if (getenv("REVIRI_TRACE"))
      m->onTrace = [](TraceDirection d, std::string_view l) {
        fprintf(stderr, "%s %.*s\n", d == TraceDirection::kWritten ? ">>" : "<<", int(l.size()), l.data());
      };
    m->open(sim->devicePath());
    return m;
  }

  static bool pollUntil(Modem& m, const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) m.poll(50ms);
    return done();
  }

  std::filesystem::path lockDir;
  std::unique_ptr<sim::Simulator> sim;
  std::vector<IncomingMessage> received;
  std::vector<StatusReport> reports;
  std::vector<Error> errors;
};

TEST_F(ModemSimTest, LongAndAutomaticallyCodedMessagesComeBackWhole) {
  startSim();
  auto modem = openModem(options());
  const std::string own = sim->identity().ownNumber;
  std::string euroAtBoundary = std::string(152, 'a') + "€" + std::string(151, 'b') + "[" + "end";
  std::string ucs2Pairs;
  for (int i = 0; i < 66; ++i) ucs2Pairs += "ж";
  ucs2Pairs += "😀";
  for (int i = 0; i < 65; ++i) ucs2Pairs += "ж";
  ucs2Pairs += "😀 end";
  const struct {
    std::string text;
    MessageCoding coding;
    int parts;
  } cases[] = {
      {euroAtBoundary, MessageCoding::kGsm7, 3},
      {ucs2Pairs, MessageCoding::kUcs2, 3},
      {"Grüße aus 日本", MessageCoding::kUcs2, 1},
      {"Plain {braces} and €", MessageCoding::kGsm7, 1},
  };
  for (const auto& c : cases) {
    received.clear();
    const SendResult sent = modem->send(message(own, c.text));
    ASSERT_TRUE(sent.ok()) << sent.error.describe();
    EXPECT_EQ(sent.coding, c.coding);
    EXPECT_EQ(sent.parts, c.parts);
    EXPECT_EQ(sent.references.size(), static_cast<std::size_t>(c.parts));
    ASSERT_TRUE(pollUntil(*modem, [&] { return !received.empty(); })) << c.text;
    // Give stray extra parts a moment to show up as a second message.
    modem->poll(200ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, c.text);
    EXPECT_EQ(received[0].sender, own);
    EXPECT_EQ(received[0].coding, c.coding);
    EXPECT_TRUE(received[0].complete);
    EXPECT_EQ(received[0].partsReceived, c.parts);
    EXPECT_EQ(received[0].concat.has_value(), c.parts > 1);
  }
  // Every part was deleted once its message was handed over.
  EXPECT_TRUE(modem->list().empty());
  EXPECT_TRUE(errors.empty()) << errors.front().describe();
}

TEST_F(ModemSimTest, DeliveryReportsAreMatchedToTheirMessageAndPart) {
  startSim();
  auto modem = openModem(options());
  const SendResult sent =
      modem->send(message("+4917012345678", std::string(200, 'x'), true));
  ASSERT_TRUE(sent.ok()) << sent.error.describe();
  ASSERT_EQ(sent.parts, 2);
  ASSERT_TRUE(pollUntil(*modem, [&] { return reports.size() == 2; }));
  for (int part = 1; part <= 2; ++part) {
    const StatusReport& r = reports[static_cast<std::size_t>(part - 1)];
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.messageId, sent.messageId);
    EXPECT_EQ(r.partNumber, part);
    EXPECT_EQ(r.partCount, 2);
    EXPECT_EQ(r.reference, sent.references[static_cast<std::size_t>(part - 1)]);
    EXPECT_EQ(r.recipient, "+4917012345678");
    EXPECT_EQ(r.outcome, StatusReport::Outcome::kDelivered);
  }
  // A failure outcome, and a report on a message this Modem never sent.
  sim->control("report 0x46");
  reports.clear();
  ASSERT_TRUE(modem->send(message("+4917012345678", "late", true)).ok());
  ASSERT_TRUE(pollUntil(*modem, [&] { return reports.size() == 1; }));
  EXPECT_EQ(reports[0].outcome, StatusReport::Outcome::kFailed);
  EXPECT_EQ(reports[0].status, 0x46);
  EXPECT_NE(reports[0].meaning.find("validity"), std::string::npos) << reports[0].meaning;

}

TEST_F(ModemSimTest, StatusReportsOfAnotherProcessAreReportedUnmatched) {
  startSim();
  {
    auto first = openModem(options());
    ASSERT_TRUE(first->send(message("+4917012345678", "hi", true)).ok());
  }  // closed before its report arrives: the report waits in storage
  std::this_thread::sleep_for(sim::CommandInterpreter::kReportDelay + 300ms);
  auto second = openModem(options());
  ASSERT_TRUE(pollUntil(*second, [&] { return reports.size() == 1; }));
  EXPECT_FALSE(reports[0].matched);
  EXPECT_EQ(reports[0].outcome, StatusReport::Outcome::kDelivered);
  EXPECT_GE(reports[0].index, 1);
  EXPECT_TRUE(second->list().empty());  // reported, then deleted
}

TEST_F(ModemSimTest, PartsOutOfOrderAndDuplicatedSurviveAStopBetweenThem) {
  startSim();
  const std::string sender = "+4917099887766";
  // Part 3 and part 1 of 3 arrive while no process listens.
  ASSERT_EQ(sim->injectMessage(sender, "three", false, false, "0003A70303"), "");
  ASSERT_EQ(sim->injectMessage(sender, "one ", false, false, "0003A70301"), "");
  {
    auto first = openModem(options());
    first->poll(300ms);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(first->list().size(), 2u);  // incomplete: nothing deleted
  }  // the process stops here
  // Part 1 again (a duplicate), then part 2.
  ASSERT_EQ(sim->injectMessage(sender, "one ", false, false, "0003A70301"), "");
  ASSERT_EQ(sim->injectMessage(sender, "two ", false, false, "0003A70302"), "");
  auto second = openModem(options());
  ASSERT_TRUE(pollUntil(*second, [&] { return !received.empty(); }));
  second->poll(300ms);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].text, "one two three");
  EXPECT_EQ(received[0].sender, sender);
  ASSERT_TRUE(received[0].concat);
  EXPECT_EQ(received[0].concat->reference, 0xA7);
  EXPECT_EQ(received[0].concat->total, 3);
  EXPECT_EQ(received[0].indexes.size(), 4u);  // three parts and the duplicate
  EXPECT_TRUE(second->list().empty());
}

TEST_F(ModemSimTest, SixteenBitReferencesAreJoinedApartFromEightBitOnes) {
  startSim();
  auto modem = openModem(options());
  // The same sender, two messages whose references differ only in width.
  ASSERT_EQ(sim->injectMessage("+4917055", "wide ", false, false, "0804012C0201"), "");
  ASSERT_EQ(sim->injectMessage("+4917055", "narrow ", false, false, "00032C0201"), "");
  ASSERT_EQ(sim->injectMessage("+4917055", "end", false, false, "00032C0202"), "");
  ASSERT_EQ(sim->injectMessage("+4917055", "end", false, false, "0804012C0202"), "");
  ASSERT_TRUE(pollUntil(*modem, [&] { return received.size() == 2; }));
  EXPECT_EQ(received[0].text, "narrow end");
  EXPECT_FALSE(received[0].concat->sixteenBit);
  EXPECT_EQ(received[1].text, "wide end");
  EXPECT_TRUE(received[1].concat->sixteenBit);
  EXPECT_EQ(received[1].concat->reference, 0x012C);
}

TEST_F(ModemSimTest, IncompleteMessagesAreHandedOverAfterTheirTime) {
  startSim();
  auto now = std::chrono::system_clock::now();
  ModemOptions o = options();
  o.wallClock = [&now] { return now; };
  o.incompleteAfter = std::chrono::seconds(60);
  auto modem = openModem(o);
  ASSERT_EQ(sim->injectMessage("+4917011", "first half ", false, false, "0003110201"), "");
  modem->poll(500ms);
  EXPECT_TRUE(received.empty());
  now += std::chrono::seconds(61);
  modem->poll(10ms);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_FALSE(received[0].complete);
  EXPECT_EQ(received[0].partsReceived, 1);
  EXPECT_EQ(received[0].text, "first half ");
  EXPECT_TRUE(modem->list().empty());
}

TEST_F(ModemSimTest, WaitsOfAnyLengthEndWhenTheirWorkIsDone) {
  startSim();
  auto modem = openModem(options());
  modem->poll(0ms);  // the backlog (none)
  // Without limit: a message ends the wait, stop() ends the run.
  ASSERT_EQ(sim->injectMessage("+4917011", "wake up"), "");
  EXPECT_TRUE(modem->poll(std::chrono::milliseconds::max()));
  modem->onMessage = [&](const IncomingMessage& m) {
    received.push_back(m);
    modem->stop();
  };
  ASSERT_EQ(sim->injectMessage("+4917011", "stop now"), "");
  modem->runFor(std::chrono::milliseconds::max());
  ASSERT_TRUE(pollUntil(*modem, [&] { return received.size() == 2; }));
  EXPECT_EQ(received[1].text, "stop now");
  // Nothing to wait for: back at once.
  const auto before = std::chrono::steady_clock::now();
  modem->runFor(std::chrono::milliseconds::min());
  EXPECT_FALSE(modem->poll(std::chrono::milliseconds::min()));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

// A host with its own event loop waits on the descriptor and lets the Modem
// process what is readable; another thread ends a wait without limit.
TEST_F(ModemSimTest, HostLoopWaitsOnTheDescriptorAndAnotherThreadEndsAWait) {
  startSim();
  auto modem = openModem(options());
  modem->processReadable();  // the backlog (none)
  int progress = 0;
  modem->onProgress = [&] { ++progress; };
  ASSERT_EQ(sim->injectMessage("+4917011", "by descriptor"), "");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (received.empty() && std::chrono::steady_clock::now() < deadline) {
    pollfd p{modem->descriptor(), POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) modem->processReadable();
  }
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].text, "by descriptor");
  EXPECT_GT(progress, 0);

  std::thread other([&] { modem->interrupt(); });
  modem->runFor(std::chrono::milliseconds::max());
  other.join();
  // The interrupt is spent: the next wait lasts its time.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(modem->poll(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
  modem->close();
  EXPECT_EQ(modem->descriptor(), NativeHandle{});
}

TEST_F(ModemSimTest, BacklogIsProcessedBeforeNewMessages) {
  startSim();
  ASSERT_EQ(sim->injectMessage("+4917011", "stored before"), "");
  auto modem = openModem(options());
  ASSERT_EQ(sim->injectMessage("+4917022", "arrived after"), "");
  ASSERT_TRUE(pollUntil(*modem, [&] { return received.size() == 2; })) << received.size() << " " << (received.empty() ? "" : received[0].text) << errors.size();
  EXPECT_EQ(received[0].text, "stored before");
  EXPECT_EQ(received[1].text, "arrived after");
}

TEST_F(ModemSimTest, EntersThePinOnceAndReportsAWrongOne) {
  sim::SimulatorOptions so;
  so.identity.pin = "4711";
  startSim(so);
  {
    Modem without(options());
    try {
      without.open(sim->devicePath());
      FAIL() << "opened without a PIN";
    } catch (const ModemError& e) {
      EXPECT_EQ(e.error().kind, Error::Kind::kPin);
    }
  }
  ModemOptions wrong = options();
  wrong.pin = "0000";
  try {
    Modem m(wrong);
    m.open(sim->devicePath());
    FAIL() << "opened with a wrong PIN";
  } catch (const ModemError& e) {
    EXPECT_EQ(e.error().kind, Error::Kind::kWrongPin);
    EXPECT_EQ(e.error().code, 16);
  }
  // One wrong attempt used, two left: the right PIN still opens it.
  ModemOptions right = options();
  right.pin = "4711";
  auto modem = openModem(right);
  EXPECT_TRUE(modem->send(message("+4917011", "unlocked")).ok());
}

TEST_F(ModemSimTest, ASecondUserOfThePortIsToldWhoHasIt) {
  startSim();
  auto first = openModem(options());
  Modem second(options());
  try {
    second.open(sim->devicePath());
    FAIL() << "two users on one port";
  } catch (const ModemError& e) {
    EXPECT_EQ(e.error().kind, Error::Kind::kPortInUse);
    EXPECT_NE(std::string(e.what()).find("port in use (by PID " + std::to_string(::getpid()) + ")"),
              std::string::npos)
        << e.what();
  }
  first->close();
  second.open(sim->devicePath());  // free again
  EXPECT_TRUE(second.isOpen());
}

TEST_F(ModemSimTest, ServiceCentreIsReadAndSet) {
  startSim();
  auto modem = openModem(options());
  EXPECT_EQ(modem->serviceCentre(), sim->identity().serviceCentre);
  modem->setServiceCentre("+4917200000");
  EXPECT_EQ(modem->serviceCentre(), "+4917200000");
  EXPECT_THROW(modem->setServiceCentre("12ab"), std::invalid_argument);
}

TEST_F(ModemSimTest, SignalAndOperatorAreReadAlsoWithBlanksAndAFormatAnotherClientChose) {
  startSim();
  ASSERT_TRUE(sim->setQuirk("blanks", true));
  {  // another client leaves the modem naming networks by number
    auto port = makeSystemSerialPort();
    port->open(sim->devicePath(), LineSettings::parse("115200,n,8,1"));
    port->write("AT+COPS=3,2\r");
    std::string answer;
    while (answer.find("OK") == std::string::npos && port->waitReadable(2s)) answer += port->readAll();
    ASSERT_NE(answer.find("OK"), std::string::npos) << answer;
  }
  auto modem = openModem(options());
  ASSERT_EQ(sim->control("signal 12"), std::vector<std::string>{"OK"});
  const SignalQuality quality = modem->signalQuality();
  EXPECT_EQ(quality.rssi, 12);
  EXPECT_EQ(quality.ber, 99);
  EXPECT_EQ(modem->networkOperator(), sim->identity().operatorName);
}

}  // namespace
}  // namespace reviri
