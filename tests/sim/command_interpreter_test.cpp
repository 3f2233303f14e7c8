// The simulated modem's command interpreter, driven byte by byte without a
// pseudo-terminal.
#include "sim/command_interpreter.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "sim/sim_pdu.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::sim {
namespace {

class RecordingHost : public ModemHost {
 public:
  void output(std::string bytes, bool) override { out += bytes; }
  void after(std::chrono::milliseconds, std::function<void()> action) override {
    timers.push_back(std::move(action));
  }
  void runTimers() {
    auto due = std::move(timers);
    timers.clear();
    for (auto& t : due) t();
  }
  // Everything output since the last call.
  std::string take() {
    std::string s;
    s.swap(out);
    return s;
  }
  std::string out;
  std::vector<std::function<void()>> timers;
};

class ModemTest : public ::testing::Test {
 protected:
  // Sends one line (CR added) and returns what the modem wrote.
  std::string cmd(const std::string& line) {
    host.take();
    modem.feed(line + "\r");
    return host.take();
  }
  std::string pdu(const std::string& hex) {
    modem.feed(hex + "\x1A");
    return host.take();
  }
  void echoOff() { ASSERT_EQ(cmd("ATE0"), "ATE0\r\r\nOK\r\n"); }

  RecordingHost host;
  CommandInterpreter modem{host};
};

const std::string kHello = vectors::submitted("E1").pdu;  // to +27820001111, 24 octets

TEST_F(ModemTest, FramesAnswersAndEchoesUntilAte0) {
  EXPECT_EQ(cmd("AT"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(cmd("at+csq"), "at+csq\r\r\n+CSQ: 21,99\r\n\r\nOK\r\n");
  echoOff();
  EXPECT_EQ(cmd("AT+CGMI"), "\r\nReviri\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+cgsn"), "\r\n490154203237518\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+FOO"), "\r\nERROR\r\n");
  EXPECT_EQ(cmd("hello"), "");  // not a command: ignored, like a modem does
  EXPECT_EQ(cmd("ATE1"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT"), "AT\r\r\nOK\r\n");
}

TEST_F(ModemTest, RunsSeveralCommandsOfOneLineAndStopsAtTheFirstError) {
  echoOff();
  EXPECT_EQ(cmd("AT+CMEE=1;+CSQ"), "\r\n+CSQ: 21,99\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("ATV1Q0+CSCS?"), "\r\n+CSCS: \"GSM\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSQ;+NOPE;+CGMI"), "\r\n+CSQ: 21,99\r\n\r\nERROR\r\n");
}

TEST_F(ModemTest, SendsAPduAfterThePromptWithRisingReferences) {
  echoOff();
  EXPECT_EQ(cmd("AT+CMGS=24"), "\r\n> ");
  EXPECT_EQ(pdu(kHello), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMGS=24"), "\r\n> ");
  EXPECT_EQ(pdu(kHello), "\r\n+CMGS: 2\r\n\r\nOK\r\n");
  ASSERT_EQ(modem.sent().size(), 2u);
  EXPECT_EQ(modem.sent()[1].number, "+27820001111");
  EXPECT_EQ(modem.sent()[1].text, "Hello World!");
  EXPECT_TRUE(host.timers.empty());  // not our own number: nothing comes back
}

TEST_F(ModemTest, RefusesMalformedPdusAndCancelsOnEscape) {
  echoOff();
  const struct {
    std::string length, hex, answer;
  } cases[] = {
      {"23", kHello, "\r\n+CMS ERROR: 304\r\n"},                 // length does not match
      {"24", kHello.substr(0, 47) + "Z", "\r\n+CMS ERROR: 304\r\n"},  // not hex
      {"24", "", "\r\n+CMS ERROR: 304\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cmd("AT+CMGS=" + c.length), "\r\n> ");
    EXPECT_EQ(pdu(c.hex), c.answer);
  }
  EXPECT_EQ(cmd("AT+CMGS=0"), "\r\n+CMS ERROR: 304\r\n");
  EXPECT_EQ(cmd("AT+CMGS=24"), "\r\n> ");
  modem.feed(kHello.substr(0, 10) + "\x1B");
  EXPECT_EQ(host.take(), "\r\nOK\r\n");
  EXPECT_TRUE(modem.sent().empty());
  EXPECT_EQ(cmd("AT"), "\r\nOK\r\n");  // back in command mode
}

TEST_F(ModemTest, StoresReadsListsSendsAndDeletes) {
  echoOff();
  EXPECT_EQ(cmd("AT+CMGW=24"), "\r\n> ");
  EXPECT_EQ(pdu(kHello), "\r\n+CMGW: 1\r\n\r\nOK\r\n");
  ASSERT_EQ(modem.receive("+4915100000", "incoming", false, false), "");

  // Stored with the service-centre address in front of the client's "00".
  const std::string read = cmd("AT+CMGR=1");
  const std::string withSca = withServiceCentre(kHello, "+4917100000");
  EXPECT_EQ(read, "\r\n+CMGR: 2,,24\r\n" + withSca + "\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMGR=3"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(cmd("AT+CMGR=99"), "\r\n+CMS ERROR: 321\r\n");

  const std::string unread = cmd("AT+CMGL=0");
  EXPECT_NE(unread.find("+CMGL: 2,0,,"), std::string::npos) << unread;
  EXPECT_EQ(unread.find("+CMGL: 1,"), std::string::npos);
  const std::string all = cmd("AT+CMGL=4");
  EXPECT_NE(all.find("\r\n+CMGL: 1,2,,24\r\n" + withSca + "\r\n+CMGL: 2,1,,"), std::string::npos) << all;
  EXPECT_TRUE(all.ends_with("\r\n\r\nOK\r\n"));

  EXPECT_EQ(cmd("AT+CMSS=1"), "\r\n+CMSS: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMSS=1,\"+123\""), "\r\n+CMSS: 2\r\n\r\nOK\r\n");
  EXPECT_EQ(modem.sent().back().number, "+123");
  EXPECT_EQ(cmd("AT+CMSS=5"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(cmd("AT+CMGL=3").find("+CMGL: 1,3,,24"), 2u);  // now "stored sent"

  EXPECT_EQ(cmd("AT+CMGD=1"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMGR=1"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(cmd("AT+CMGD=1,4"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMGL=4"), "\r\nOK\r\n");
}

TEST_F(ModemTest, SelectsStoragesQuotedOrNot) {
  echoOff();
  EXPECT_EQ(cmd("AT+CPMS=SM,SM,SM"), "\r\n+CPMS: 0,30,0,30,0,30\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPMS=\"ME\",\"ME\",\"ME\""), "\r\n+CPMS: 0,100,0,100,0,100\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPMS?"), "\r\n+CPMS: \"ME\",0,100,\"ME\",0,100,\"ME\",0,100\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPMS=XX"), "\r\n+CMS ERROR: 302\r\n");
  ASSERT_EQ(modem.receive("+1555", "into ME", false, false), "");
  EXPECT_EQ(cmd("AT+CPMS=SM"), "\r\n+CPMS: 0,30,1,100,1,100\r\n\r\nOK\r\n");
}

TEST_F(ModemTest, AnnouncesNewMessagesAsCnmiAsks) {
  echoOff();
  ASSERT_EQ(modem.receive("+1555", "no indications asked for", false, false), "");
  EXPECT_EQ(host.take(), "");
  EXPECT_EQ(cmd("AT+CMGD=1"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CNMI=0,1"), "\r\nOK\r\n");
  ASSERT_EQ(modem.receive("+1555", "before listening", false, false), "");
  EXPECT_EQ(host.take(), "");  // mode 0: the indication is kept in the modem
  EXPECT_EQ(cmd("AT+CNMI=1,1,0,0"), "\r\nOK\r\n\r\n+CMTI: \"SM\",1\r\n");
  ASSERT_EQ(modem.receive("+1555", "second", false, false), "");
  EXPECT_EQ(host.take(), "\r\n+CMTI: \"SM\",2\r\n");

  // Not while the client is typing: the indication waits for the answer.
  modem.feed("AT+CS");
  host.take();
  ASSERT_EQ(modem.receive("+1555", "third", false, false), "");
  EXPECT_EQ(host.take(), "");
  modem.feed("Q\r");
  EXPECT_EQ(host.take(), "\r\n+CSQ: 21,99\r\n\r\nOK\r\n\r\n+CMTI: \"SM\",3\r\n");

  EXPECT_EQ(cmd("AT+CNMI=1,2,0,0,0"), "\r\nOK\r\n");
  ASSERT_EQ(modem.receive("+1555", "direct", false, false), "");
  const std::string cmt = host.take();
  ASSERT_TRUE(cmt.starts_with("\r\n+CMT: ,")) << cmt;
  const auto pduStart = cmt.find("\r\n", 2) + 2;
  const auto parsed = parsePdu(cmt.substr(pduStart, cmt.size() - pduStart - 2), -1, nullptr);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->text, "direct");
  EXPECT_EQ(cmd("AT+CNMI=9"), "\r\n+CMS ERROR: 303\r\n");
}

TEST_F(ModemTest, GivesAMessageToItsOwnNumberBackAsAnIncomingOne) {
  echoOff();
  cmd("AT+CNMI=1,1,0,0");
  for (const bool ucs2 : {false, true}) {
    // A SUBMIT to +4915112345678 (the modem's own number), built here by hand.
    const std::string body = ucs2 ? "0008AA08004800690020263A" : "0000AA02C834";
    const std::string hex = "0011000D91945111325476F8" + body;
    ASSERT_EQ(cmd("AT+CMGS=" + std::to_string(hex.size() / 2 - 1)), "\r\n> ");
    ASSERT_TRUE(pdu(hex).starts_with("\r\n+CMGS: ")) << hex;
    ASSERT_EQ(host.timers.size(), 1u);
    host.runTimers();
    const std::string indication = host.take();
    ASSERT_TRUE(indication.starts_with("\r\n+CMTI: \"SM\",")) << indication;
    const std::string index = indication.substr(14, indication.size() - 16);
    const std::string read = cmd("AT+CMGR=" + index);
    const auto pduLine = read.substr(read.find("\r\n", 2) + 2);
    const auto parsed = parsePdu(pduLine.substr(0, pduLine.find("\r\n")), -1, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->deliver);
    EXPECT_EQ(parsed->number, "+4915112345678");
    EXPECT_EQ(parsed->text, ucs2 ? "Hi ☺" : "Hi");
    EXPECT_EQ(parsed->coding, ucs2 ? MessageCoding::kUcs2 : MessageCoding::kGsm7);
  }
}

TEST_F(ModemTest, KeepsPhonebookEntriesInTheChosenCharacterSet) {
  echoOff();
  EXPECT_EQ(cmd("AT+CPBS=\"SM\""), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBW=1,\"+4915112345678\",145,\"Alice\""), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBR=1"), "\r\n+CPBR: 1,\"+4915112345678\",145,\"Alice\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSCS=UCS2"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSCS?"), "\r\n+CSCS: \"UCS2\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBW=2,\"0301234\",129,\"004A00FC0072006700650E01\""), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBR=1,3"),
            "\r\n+CPBR: 1,\"+4915112345678\",145,\"0041006C006900630065\"\r\n"
            "+CPBR: 2,\"0301234\",129,\"004A00FC0072006700650E01\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBS?"), "\r\n+CPBS: \"SM\",2,250\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBW=3,\"1\",129,\"ABC\""), "\r\n+CME ERROR: 25\r\n");  // not UCS2 hex
  EXPECT_EQ(cmd("AT+CPBR=0"), "\r\n+CME ERROR: 21\r\n");
  EXPECT_EQ(cmd("AT+CPBR=7"), "\r\n+CME ERROR: 22\r\n");
  EXPECT_EQ(cmd("AT+CPBW=1"), "\r\nOK\r\n");  // index alone deletes
  EXPECT_EQ(cmd("AT+CMEE=0"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBR=1"), "\r\nERROR\r\n");
  EXPECT_EQ(cmd("AT+CMEE=2"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CPBR=300"), "\r\n+CME ERROR: invalid index\r\n");
}

TEST_F(ModemTest, SilentModemReadsButNeverAnswers) {
  modem.setSilent(true);
  EXPECT_EQ(cmd("AT"), "");
  modem.setSilent(false);
  EXPECT_EQ(cmd("AT"), "AT\r\r\nOK\r\n");
}

// The PDU line of a two-line indication or of a one-message answer.
std::string secondLine(const std::string& out) {
  const auto start = out.find("\r\n", 2) + 2;
  return out.substr(start, out.find("\r\n", start) - start);
}

TEST_F(ModemTest, KeepsTheUserDataHeaderWhenAPartLoopsBack) {
  echoOff();
  cmd("AT+CNMI=2,2,0,0");
  // Part 2 of 2 (8-bit reference AB) to the modem's own number, text "Hi".
  const std::string part = "0041000D91945111325476F8000009050003AB02019069";
  ASSERT_EQ(cmd("AT+CMGS=22"), "\r\n> ");
  ASSERT_TRUE(pdu(part).starts_with("\r\n+CMGS: "));
  ASSERT_EQ(modem.sent().back().udhHex, "0003AB0201");
  host.runTimers();
  const auto parsed = parsePdu(secondLine(host.take()), -1, nullptr);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->deliver);
  EXPECT_EQ(parsed->udhHex, "0003AB0201");
  EXPECT_EQ(parsed->text, "Hi");
}

TEST_F(ModemTest, BuildsDeliversWithAHeaderUpToTheFullLength) {
  std::string why;
  const std::string ucs2Text(67, 'x');
  const auto ucs2 = buildDeliver("+49171", "+1555", ucs2Text, true, false, 0, &why, "0003010201");
  ASSERT_TRUE(ucs2) << why;
  auto parsed = parsePdu(*ucs2, -1, &why);
  ASSERT_TRUE(parsed) << why;
  EXPECT_EQ(parsed->text, ucs2Text);
  EXPECT_FALSE(buildDeliver("+49171", "+1555", ucs2Text + "x", true, false, 0, &why, "0003010201"));
  const std::string septets(153, 'y');
  const auto gsm = buildDeliver("+49171", "+1555", septets, false, false, 0, &why, "0003010201");
  ASSERT_TRUE(gsm) << why;
  parsed = parsePdu(*gsm, -1, &why);
  ASSERT_TRUE(parsed) << why;
  EXPECT_EQ(parsed->text, septets);
  EXPECT_EQ(parsed->udhHex, "0003010201");
  EXPECT_FALSE(buildDeliver("+49171", "+1555", septets + "y", false, false, 0, &why, "0003010201"));
}

TEST_F(ModemTest, SendsDeliveryReportsAsCnmiAsks) {
  echoOff();
  const std::string withReport = "0021000B917228001011F100000CC8329BFD065DDF72363904";
  auto sendOne = [&] {
    EXPECT_EQ(cmd("AT+CMGS=24"), "\r\n> ");
    const std::string answer = pdu(withReport);
    EXPECT_TRUE(answer.starts_with("\r\n+CMGS: ")) << answer;
    return std::stoi(answer.substr(9));
  };
  cmd("AT+CNMI=2,1,0,1,0");
  const int reference = sendOne();
  ASSERT_EQ(host.timers.size(), 1u);
  host.runTimers();
  const std::string cds = host.take();
  ASSERT_TRUE(cds.starts_with("\r\n+CDS: 25\r\n")) << cds;
  const std::string report = secondLine(cds);
  // SCA, first octet 06, the reference, recipient +27820001111, two stamps, TP-ST 00.
  EXPECT_EQ(report.substr(0, 14), encodeServiceCentre(modem.identity().serviceCentre));
  char mr[3];
  std::snprintf(mr, sizeof mr, "%02X", reference);
  EXPECT_EQ(report.substr(14, 2 + 2 + 16), "06" + std::string(mr) + "0B917228001011F1");
  EXPECT_EQ(report.substr(report.size() - 2), "00");

  modem.setReportStatus(0x46);  // expired
  cmd("AT+CNMI=2,1,0,2,0");
  sendOne();
  host.runTimers();
  const std::string cdsi = host.take();
  ASSERT_EQ(cdsi, "\r\n+CDSI: \"SM\",1\r\n");
  const std::string stored = secondLine(cmd("AT+CMGR=1"));
  EXPECT_EQ(stored.substr(stored.size() - 2), "46");

  cmd("AT+CNMI=2,1,0,0,0");
  sendOne();
  host.runTimers();
  EXPECT_EQ(host.take(), "");
  modem.setReportStatus(-1);
  cmd("AT+CNMI=2,1,0,1,0");
  sendOne();
  EXPECT_TRUE(host.timers.empty());
  // Without TP-SRR no report is made.
  EXPECT_EQ(cmd("AT+CMGS=24"), "\r\n> ");
  pdu(kHello);
  EXPECT_TRUE(host.timers.empty());
}

TEST_F(ModemTest, StartsPinLockedAndBlocksAfterThreeWrongPins) {
  RecordingHost lockedHost;
  ModemIdentity identity;
  identity.pin = "4711";
  CommandInterpreter locked{lockedHost, identity};
  auto run = [&](const std::string& line) {
    lockedHost.take();
    locked.feed(line + "\r");
    return lockedHost.take();
  };
  run("ATE0");
  EXPECT_EQ(run("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
  EXPECT_EQ(run("AT+CMGL=4"), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(run("AT+CSCA?"), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(run("AT+CGMI"), "\r\nReviri\r\n\r\nOK\r\n");  // identity needs no SIM
  EXPECT_EQ(run("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(run("AT+CPIN=\"4711\""), "\r\nOK\r\n");
  EXPECT_EQ(run("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
  EXPECT_EQ(run("AT+CMGL=4"), "\r\nOK\r\n");

  locked.setPin("1234");
  for (int i = 0; i < CommandInterpreter::kPinAttempts; ++i) EXPECT_EQ(run("AT+CPIN=1111"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(run("AT+CPIN?"), "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n");
  EXPECT_EQ(run("AT+CPIN=1234"), "\r\n+CME ERROR: 16\r\n");  // too late: the SIM wants its PUK
  EXPECT_EQ(run("AT+CMGL=4"), "\r\n+CME ERROR: 12\r\n");
}

TEST_F(ModemTest, AnswersAndSetsTheServiceCentre) {
  echoOff();
  EXPECT_EQ(cmd("AT+CSCA?"), "\r\n+CSCA: \"+4917100000\",145\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSCA=\"0171999\",129"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSCA?"), "\r\n+CSCA: \"0171999\",129\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CSCA=\"12ab\""), "\r\n+CMS ERROR: 304\r\n");
}

// What a client such as gammu asks before each send: registration in the
// mode it set, the packet-domain attachment, "more messages to send".
TEST_F(ModemTest, ReportsRegistrationAndAttachmentAsTheClientAsks) {
  echoOff();
  EXPECT_EQ(cmd("AT+CREG?"), "\r\n+CREG: 0,1\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CREG=2"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CREG?"), "\r\n+CREG: 2,1,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGREG=1"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGREG?"), "\r\n+CGREG: 1,1\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CREG=3"), "\r\n+CME ERROR: 4\r\n");

  EXPECT_EQ(cmd("AT+CGATT?"), "\r\n+CGATT: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGATT=0"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGATT?"), "\r\n+CGATT: 0\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGREG?"), "\r\n+CGREG: 1,0\r\n\r\nOK\r\n");  // detached: not registered for packets
  EXPECT_EQ(cmd("AT+CREG?"), "\r\n+CREG: 2,1,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CGATT=2"), "\r\n+CME ERROR: 4\r\n");

  EXPECT_EQ(cmd("AT+CMMS=2"), "\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMMS?"), "\r\n+CMMS: 2\r\n\r\nOK\r\n");
  EXPECT_EQ(cmd("AT+CMMS=3"), "\r\n+CMS ERROR: 302\r\n");
}

}  // namespace
}  // namespace reviri::sim
