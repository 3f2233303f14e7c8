// The Modem's dialogues over a scripted channel: opening, PIN, retries and
// their limits, delivery-report matching, joining and deleting after
// hand-over.
#include <gtest/gtest.h>

#include <algorithm>

#include "reviri/modem.h"
#include "modem/calls.h"
#include "tests/modem/fake_at_channel.h"
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri {
namespace {

using testing::FakeAtChannel;
using namespace std::chrono_literals;

// Parts 1 and 2 of "Hello world" (reference 0x21) and a single message,
// all from +4917011; delivery reports on TP-MR 7 (final, then pending) and 9.
const std::string kPart1 = "06919471010000440791947110F10000622170318540000D050003210201906536FB0D02";
const std::string kPart2 = "06919471010000440791947110F10000622170318540000C050003210202EE6F399B0C";
const std::string kSingle = "06919471010000040791947110F100006221703185400006F3B4FBCC2E03";
const std::string kReport7 = "0691947101000006070D91947110325476F8622170318540006221703185400000";
const std::string kPending7 = "0691947101000006070D91947110325476F8622170318540006221703185400020";
const std::string kReport9 = "0691947101000006090D91947110325476F8622170318540006221703185400000";

OutgoingMessage message(const std::string& text, bool report = false) {
  OutgoingMessage m;
  m.to = "+4917012345678";
  m.text = text;
  m.statusReport = report;
  return m;
}

link::AtAnswer cmgs(int reference) { return FakeAtChannel::ok({"+CMGS: " + std::to_string(reference)}); }
link::AtAnswer stored(const std::string& pdu) { return FakeAtChannel::ok({"+CMGR: 0,,30", pdu}); }

// A Modem on a scripted channel, and what it handed over.
struct Rig {
  Rig() {
    shared = std::make_shared<FakeAtChannel>();
    channel = shared.get();
    pending = std::make_unique<testing::SharedChannel>(shared);
    opts.sleep = [this](std::chrono::milliseconds d) { pauses.push_back(d.count()); };
    opts.firstConcatReference = 0xFE;
  }

  // Opens the Modem on the scripted channel, recording what it hands over.
  // `keepRecord` keeps the lines the opening wrote in channel->written.
  Modem& open(bool keepRecord = false) {
    modem = std::make_unique<Modem>(opts);
    modem->onMessage = [this](const IncomingMessage& m) { messages.push_back(m); };
    modem->onStatusReport = [this](const StatusReport& r) { reports.push_back(r); };
    modem->onError = [this](const Error& e) { errors.push_back(e); };
    modem->open(std::move(pending));
    if (!keepRecord) channel->written.clear();
    return *modem;
  }
  Error openFails() {
    try {
      open();
    } catch (const ModemError& e) {
      return e.error();
    }
    ADD_FAILURE() << "open succeeded";
    return {};
  }

  std::shared_ptr<FakeAtChannel> shared;
  FakeAtChannel* channel = nullptr;
  std::unique_ptr<link::AtChannel> pending;
  ModemOptions opts;
  std::unique_ptr<Modem> modem;
  std::vector<long> pauses;
  std::vector<IncomingMessage> messages;
  std::vector<StatusReport> reports;
  std::vector<Error> errors;
};

class SessionTest : public ::testing::Test, public Rig {};

// ---- Opening ----

TEST_F(SessionTest, OpensWithEscapeThenAtAndFallsBackToTheIndicationsTheModemTakes) {
  auto* ch = channel;
  ch->on("AT+CNMI=2,1,0,2,0", {FakeAtChannel::cms(303)});
  open(true);
  ASSERT_GE(ch->written.size(), 3u);
  EXPECT_EQ(ch->written[0], "<ESC>");
  EXPECT_EQ(ch->written[1], "AT");
  EXPECT_EQ(ch->writtenStartingWith("AT+CPMS="), std::vector<std::string>{"AT+CPMS=\"SM\",\"SM\",\"SM\""});
  EXPECT_EQ(ch->writtenStartingWith("AT+CNMI="),
            (std::vector<std::string>{"AT+CNMI=2,1,0,2,0", "AT+CNMI=2,1,0,1,0"}));
  EXPECT_TRUE(ch->writtenStartingWith("AT+CPIN=").empty());
}

TEST_F(SessionTest, GivesUpWhenNothingAnswers) {
  channel->on("AT", {FakeAtChannel::silence()});
  const Error e = openFails();
  EXPECT_EQ(e.kind, Error::Kind::kTimeout);
  EXPECT_EQ(channel->writtenStartingWith("AT").size(), 3u);
}

TEST_F(SessionTest, EntersThePinWhenAskedAndOnlyOnce) {
  // The SIM needs a moment after its PIN: one more "SIM PIN", then ready.
  channel->on("AT+CPIN?", {FakeAtChannel::ok({"+CPIN: SIM PIN"}), FakeAtChannel::ok({"+CPIN: SIM PIN"}),
                           FakeAtChannel::ok({"+CPIN: READY"})});
  opts.pin = "1234";
  open(true);
  EXPECT_EQ(channel->writtenStartingWith("AT+CPIN="), std::vector<std::string>{"AT+CPIN=\"1234\""});
  EXPECT_EQ(channel->writtenStartingWith("AT+CPIN?").size(), 3u);
  EXPECT_EQ(pauses, std::vector<long>{500});
  // Messages are set up only once the SIM is ready.
  const auto& w = channel->written;
  EXPECT_LT(std::find(w.begin(), w.end(), "AT+CPIN=\"1234\"") - w.begin(),
            std::find(w.begin(), w.end(), "AT+CMGF=0") - w.begin());

  Rig wrong;
  wrong.channel->on("AT+CPIN?", {FakeAtChannel::ok({"+CPIN: SIM PIN"})});
  wrong.channel->on("AT+CPIN=", {FakeAtChannel::cme(16)});
  wrong.opts.pin = "9999";
  auto* wrongChannel = wrong.channel;
  const Error e = wrong.openFails();
  EXPECT_EQ(e.kind, Error::Kind::kWrongPin);
  EXPECT_EQ(e.code, 16);
  EXPECT_EQ(e.meaning, "incorrect password");
  EXPECT_EQ(wrongChannel->writtenStartingWith("AT+CPIN=\"9999\"").size(), 1u);
  EXPECT_TRUE(wrongChannel->writtenStartingWith("AT+CMGF").empty());
}

TEST_F(SessionTest, ReportsAMissingPinAndABlockedSim) {
  channel->on("AT+CPIN?", {FakeAtChannel::ok({"+CPIN: SIM PIN"})});
  Error e = openFails();
  EXPECT_EQ(e.kind, Error::Kind::kPin);
  EXPECT_NE(e.meaning.find("PIN"), std::string::npos);

  Rig blocked;
  blocked.channel->on("AT+CPIN?", {FakeAtChannel::ok({"+CPIN: SIM PUK"})});
  blocked.opts.pin = "1234";
  auto* ch = blocked.channel;
  e = blocked.openFails();
  EXPECT_EQ(e.kind, Error::Kind::kPin);
  EXPECT_NE(e.meaning.find("SIM PUK"), std::string::npos);
  EXPECT_TRUE(ch->writtenStartingWith("AT+CPIN=").empty());  // a PIN would not help
}

// ---- Sending ----

TEST_F(SessionTest, RetriesTransientRefusalsWithGrowingPauses) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {FakeAtChannel::cms(332), FakeAtChannel::cms(42), cmgs(17)});
  const SendResult r = modem->send(message("hi"));
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.attempts, 3);
  EXPECT_EQ(r.references, std::vector<int>{17});
  EXPECT_EQ(pauses, (std::vector<long>{2000, 4000}));
}

TEST_F(SessionTest, StopsAtTheRetryLimitAndKeepsTheLastError) {
  opts.retry.maxAttempts = 2;
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {FakeAtChannel::cms(331)});
  const SendResult r = modem->send(message("hi"));
  EXPECT_EQ(r.outcome, SendResult::Outcome::kFailed);
  EXPECT_EQ(r.attempts, 2);
  EXPECT_EQ(r.error.kind, Error::Kind::kModem);
  EXPECT_EQ(r.error.code, 331);
  EXPECT_EQ(r.error.meaning, "no network service");
}

TEST_F(SessionTest, DoesNotRetryAPermanentRefusal) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::cms(304)});
  const SendResult r = modem->send(message("hi"));
  EXPECT_EQ(r.outcome, SendResult::Outcome::kFailed);
  EXPECT_EQ(r.attempts, 1);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(SessionTest, LeavesAMissingPromptWithEscapeAndTriesAgain) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::silence(), FakeAtChannel::prompt()});
  channel->on("PDU", {cmgs(3)});
  const SendResult r = modem->send(message("hi"));
  EXPECT_TRUE(r.ok());
  const auto& w = channel->written;
  ASSERT_GE(w.size(), 3u);
  EXPECT_TRUE(w[0].starts_with("AT+CMGS="));
  EXPECT_EQ(w[1], "<ESC>");
  EXPECT_TRUE(w[2].starts_with("AT+CMGS="));
}

TEST_F(SessionTest, ATimeOutAfterThePduIsMaybeSentAndNeverRetried) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {FakeAtChannel::silence(), cmgs(5)});
  const SendResult r = modem->send(message("hi"));
  EXPECT_EQ(r.outcome, SendResult::Outcome::kMaybeSent);
  EXPECT_EQ(r.error.kind, Error::Kind::kTimeout);
  EXPECT_EQ(channel->writtenStartingWith("PDU").size(), 1u);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(SessionTest, AnImpossibleReferenceIsProbablySentNeverCutNorRetried) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {FakeAtChannel::ok({"+CMGS: 12345678901234567890"}), cmgs(5)});
  const SendResult r = modem->send(message(std::string(400, 'z')));
  EXPECT_EQ(r.outcome, SendResult::Outcome::kMaybeSent);
  EXPECT_EQ(r.error.kind, Error::Kind::kProtocol);
  EXPECT_NE(r.error.meaning.find("impossible reference \"12345678901234567890\"; it has probably been sent"),
            std::string::npos)
      << r.error.meaning;
  EXPECT_TRUE(r.references.empty());
  EXPECT_EQ(channel->writtenStartingWith("PDU").size(), 1u);  // neither again nor the next part
}

TEST_F(SessionTest, AFailedPartStopsTheRestOfTheMessage) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {cmgs(1), FakeAtChannel::cms(500), FakeAtChannel::cms(500), FakeAtChannel::cms(500)});
  const SendResult r = modem->send(message(std::string(400, 'z')));
  EXPECT_EQ(r.parts, 3);
  EXPECT_EQ(r.outcome, SendResult::Outcome::kFailed);
  EXPECT_EQ(r.references, std::vector<int>{1});
  EXPECT_EQ(channel->writtenStartingWith("PDU").size(), 1u + 3u);  // part 1, then part 2 three times
}

TEST_F(SessionTest, EachLongMessageTakesTheNextConcatenationReference) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {cmgs(1)});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(modem->send(message(std::string(200, 'q'))).ok());
  ASSERT_TRUE(modem->send(message("short")).ok());
  const auto pdus = channel->writtenStartingWith("PDU");
  ASSERT_EQ(pdus.size(), 7u);
  // Parts 1 and 2 of each share a reference: FE, FF, then 00 after the wrap.
  EXPECT_NE(pdus[0].find("0003FE0201"), std::string::npos);
  EXPECT_NE(pdus[1].find("0003FE0202"), std::string::npos);
  EXPECT_NE(pdus[2].find("0003FF0201"), std::string::npos);
  EXPECT_NE(pdus[4].find("0003000201"), std::string::npos);
  EXPECT_EQ(pdus[6].find("000300"), std::string::npos);  // one part: no header
}

TEST_F(SessionTest, RefusesWhatCannotBeSentBeforeWritingAnything) {
  open();
  OutgoingMessage forced = message("日本");
  forced.coding = MessageCoding::kGsm7;
  EXPECT_THROW(modem->send(forced), std::invalid_argument);
  OutgoingMessage unsplit = message(std::string(161, 'a'));
  unsplit.allowSplit = false;
  EXPECT_THROW(modem->send(unsplit), std::invalid_argument);
  EXPECT_THROW(modem->send(OutgoingMessage{}), std::invalid_argument);
  EXPECT_TRUE(channel->written.empty());
}

// ---- Delivery reports ----

TEST_F(SessionTest, MatchesReportsToTheSentPartAndKeepsStrangersUnmatched) {
  open();
  channel->on("AT+CMGS=", {FakeAtChannel::prompt()});
  channel->on("PDU", {cmgs(6), cmgs(7)});
  const SendResult r = modem->send(message(std::string(200, 'r'), true));
  ASSERT_EQ(r.references, (std::vector<int>{6, 7}));
  channel->arrive("+CDS: 25", kPending7);
  channel->arrive("+CDS: 25", kReport7);
  channel->arrive("+CDS: 25", kReport9);
  channel->arrive("+CDS: 25", kReport7);  // after the final one: no longer ours
  modem->poll(0ms);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_TRUE(reports[0].matched);
  EXPECT_EQ(reports[0].outcome, StatusReport::Outcome::kPending);
  EXPECT_TRUE(reports[1].matched);
  EXPECT_EQ(reports[1].messageId, r.messageId);
  EXPECT_EQ(reports[1].partNumber, 2);
  EXPECT_EQ(reports[1].partCount, 2);
  EXPECT_EQ(reports[1].outcome, StatusReport::Outcome::kDelivered);
  EXPECT_FALSE(reports[2].matched);
  EXPECT_FALSE(reports[3].matched);
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGD").empty());  // routed reports have no slot
}

TEST_F(SessionTest, StoredReportsAreReadReportedAndDeleted) {
  open();
  channel->on("AT+CMGR=4", {stored(kReport9)});
  channel->arrive("+CDSI: \"SM\",4");
  modem->poll(0ms);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].index, 4);
  EXPECT_EQ(reports[0].reference, 9);
  EXPECT_EQ(reports[0].recipient, "+4917012345678");
  EXPECT_EQ(channel->writtenStartingWith("AT+CMGD"), std::vector<std::string>{"AT+CMGD=4"});
}

// ---- Receiving ----

TEST_F(SessionTest, JoinsPartsAndDeletesThemOnlyAfterHandOver) {
  open();
  channel->on("AT+CMGR=1", {stored(kPart2)});
  channel->on("AT+CMGR=2", {stored(kPart1)});
  channel->on("AT+CMGR=3", {stored(kPart2)});
  channel->arrive("+CMTI: \"SM\",1");
  modem->poll(0ms);
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGD").empty());
  channel->arrive("+CMTI: \"SM\",3");  // the same part again
  channel->arrive("+CMTI: \"SM\",2");
  modem->poll(0ms);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Hello world");
  EXPECT_EQ(messages[0].sender, "+4917011");
  EXPECT_EQ(messages[0].partsReceived, 2);
  EXPECT_EQ(messages[0].serviceCentreTime.iso8601(), "2026-12-07T13:58:04+00:00");
  auto deletes = channel->writtenStartingWith("AT+CMGD");
  std::sort(deletes.begin(), deletes.end());
  EXPECT_EQ(deletes, (std::vector<std::string>{"AT+CMGD=1", "AT+CMGD=2", "AT+CMGD=3"}));
  // Nothing was deleted before the last part had been read.
  const auto& w = channel->written;
  const auto lastRead = std::find(w.begin(), w.end(), "AT+CMGR=2");
  const auto firstDelete = std::find_if(w.begin(), w.end(), [](const std::string& s) { return s.starts_with("AT+CMGD"); });
  EXPECT_LT(lastRead - w.begin(), firstDelete - w.begin());
}

TEST_F(SessionTest, PartsInAnotherStorageAreReadAndDeletedThere) {
  open();
  modem->processBacklog();  // an empty one
  channel->written.clear();
  // Part 1 lands in ME slot 3, part 2 in the chosen SM at slot 3 too.
  channel->on("AT+CMGR=3", {stored(kPart1), stored(kPart2)});
  channel->arrive("+CMTI: \"ME\",3");
  modem->poll(0ms);
  EXPECT_EQ(channel->written, (std::vector<std::string>{"AT+CPMS=\"ME\"", "AT+CMGR=3", "AT+CPMS=\"SM\""}));
  channel->written.clear();
  channel->arrive("+CMTI: \"SM\",3");
  modem->poll(0ms);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Hello world");
  EXPECT_EQ(messages[0].indexes, (std::vector<int>{3, 3}));
  // Each part is deleted in its own storage, and SM is selected again after.
  const std::vector<std::string> expected{"AT+CMGR=3", "AT+CPMS=\"ME\"", "AT+CMGD=3", "AT+CPMS=\"SM\"",
                                          "AT+CMGD=3"};
  EXPECT_EQ(channel->written, expected);
}

TEST_F(SessionTest, KeepsWhatItCannotDecodeAndSaysSo) {
  opts.deleteAfterHandOver = true;
  open();
  channel->on("AT+CMGR=8", {stored("0011ZZ")});
  channel->arrive("+CMTI: \"SM\",8");
  modem->poll(0ms);
  EXPECT_TRUE(messages.empty());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].kind, Error::Kind::kProtocol);
  EXPECT_NE(errors[0].meaning.find("index 8"), std::string::npos);
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGD").empty());
}

TEST_F(SessionTest, ListsFromTheListingAloneAndSkipsOutgoingInTheBacklog) {
  open();
  const std::string submit = vectors::submitted("E1").pdu;
  channel->on("AT+CMGL=4", {FakeAtChannel::ok({"+CMGL: 1,1,,30", kSingle, "+CMGL: 2,3,,24", submit,
                                               "+CMGL: 5,0,,26", kReport9, "+CMGL: 6,0,,3", "0011ZZ"})});
  const auto listed = modem->list();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].kind, StoredMessage::Kind::kIncoming);
  EXPECT_EQ(listed[0].incoming.text, "single");
  EXPECT_EQ(listed[0].status, StoredMessage::Status::kRead);
  EXPECT_EQ(listed[1].kind, StoredMessage::Kind::kOutgoing);
  EXPECT_EQ(listed[1].recipient, "+27820001111");
  EXPECT_EQ(listed[1].status, StoredMessage::Status::kSent);
  EXPECT_EQ(listed[2].kind, StoredMessage::Kind::kStatusReport);
  EXPECT_EQ(listed[2].report->reference, 9);
  EXPECT_EQ(listed[3].kind, StoredMessage::Kind::kUndecodable);
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGR").empty());

  modem->processBacklog();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(reports.size(), 1u);
  auto deletes = channel->writtenStartingWith("AT+CMGD");
  EXPECT_EQ(deletes, (std::vector<std::string>{"AT+CMGD=1", "AT+CMGD=5"}));  // not the outgoing copy at 2
}

TEST_F(SessionTest, ReadsOneSlotAndTellsAnEmptyOne) {
  open();
  channel->on("AT+CMGR=1", {stored(kSingle)});
  channel->on("AT+CMGR=2", {FakeAtChannel::cms(321)});
  channel->on("AT+CMGR=3", {FakeAtChannel::cms(310)});
  const auto one = modem->read(1);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->index, 1);
  EXPECT_EQ(one->incoming.sender, "+4917011");
  EXPECT_FALSE(modem->read(2));
  try {
    modem->read(3);
    FAIL();
  } catch (const ModemError& e) {
    EXPECT_EQ(e.error().code, 310);
    EXPECT_EQ(e.error().command, "AT+CMGR=3");
  }
}

TEST_F(SessionTest, WithoutATakerMessagesAndReportsStayStoredUnread) {
  open();
  modem->onMessage = nullptr;
  channel->arrive("+CMTI: \"SM\",1");
  channel->arrive("+CDS: 25", kReport9);
  modem->poll(0ms);
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGR").empty());
  EXPECT_EQ(reports.size(), 1u);  // reports still have their taker
  modem->onStatusReport = nullptr;
  channel->on("AT+CMGL=4", {FakeAtChannel::ok({"+CMGL: 1,0,,30", kSingle, "+CMGL: 5,0,,26", kReport9})});
  modem->processBacklog();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_TRUE(channel->writtenStartingWith("AT+CMGD").empty());
}

TEST_F(SessionTest, AMovedModemKeepsItsSessionAndCallbacks) {
  open();
  channel->on("AT+CMGR=1", {stored(kSingle)});
  Modem moved(std::move(*modem));
  modem.reset();  // the moved-from shell goes; the session lives on
  EXPECT_TRUE(moved.isOpen());
  channel->arrive("+CMTI: \"SM\",1");
  moved.poll(0ms);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "single");
}

// ---- Incoming calls ----

// A modem whose clocks the test moves, and the calls it announced.
struct CallRig : Rig {
  CallRig() {
    opts.steadyClock = [this] { return steady; };
    opts.wallClock = [this] { return wall; };
  }
  Modem& openForCalls() {
    Modem& m = open(true);
    m.onCall = [this](const IncomingCall& c) { calls.push_back(c); };
    return m;
  }
  void later(std::chrono::milliseconds d) {
    steady += d;
    wall += d;
  }
  // One ring of the network: RING and, when given, the caller's +CLIP.
  void ring(const std::string& clip = "") {
    channel->arrive("RING");
    if (!clip.empty()) channel->arrive(clip);
    modem->poll(0ms);
  }
  std::chrono::steady_clock::time_point steady{std::chrono::hours(1)};
  std::chrono::system_clock::time_point wall{std::chrono::seconds(1'800'000'000)};
  std::vector<IncomingCall> calls;
};

TEST(CallTest, RingsOfOneCallAreOneCallWithTheCallersNumber) {
  struct Case {
    const char* name;
    const char* clip;          // the +CLIP after each RING ("" none)
    bool callerIdRefused;      // AT+CLIP=1 answered ERROR
    int ringsBeforeAnnounced;  // RINGs, 3 s apart, until the call shows
    std::string number;
  };
  const Case cases[] = {
      {"international", "+CLIP: \"+4917012345\",145,,,,0", false, 1, "+4917012345"},
      {"plus left out", "+CLIP: \"4917012345\", 145", false, 1, "+4917012345"},
      {"national", "+CLIP: \"017012345\",129", false, 1, "017012345"},
      {"withheld", "+CLIP: \"\",128,,,,1", false, 1, ""},
      {"no +CLIP although asked", "", false, 2, ""},
      {"caller identification refused", "", true, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallRig rig;
    if (c.callerIdRefused) rig.channel->on("AT+CLIP=1", {FakeAtChannel::cme(3)});
    rig.openForCalls();  // still opens without caller identification
    EXPECT_EQ(rig.channel->writtenStartingWith("AT+CLIP"), std::vector<std::string>{"AT+CLIP=1"});
    const auto firstRing = rig.wall;
    for (int ring = 1; ring <= 5; ++ring) {
      rig.ring(c.clip);
      EXPECT_EQ(rig.calls.size(), ring >= c.ringsBeforeAnnounced ? 1u : 0u) << "after ring " << ring;
      rig.later(3s);
    }
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0].number, c.number);
    EXPECT_EQ(rig.calls[0].time, firstRing);
    EXPECT_FALSE(rig.calls[0].rejected);
    EXPECT_TRUE(rig.channel->writtenStartingWith("AT+CHUP").empty());
    // Quiet for longer than the ring time-out: the next ring is a new call.
    rig.later(rig.opts.ringTimeout);
    rig.modem->poll(0ms);
    rig.ring(c.clip);
    rig.later(modem::CallTracker::kCallerIdWait);
    rig.modem->poll(0ms);
    EXPECT_EQ(rig.calls.size(), 2u);
  }

  // A lone RING and NO CARRIER: the caller gave up before a second ring.
  CallRig lone;
  lone.openForCalls();
  lone.ring();
  EXPECT_TRUE(lone.calls.empty());
  lone.channel->arrive("NO CARRIER");
  lone.modem->poll(0ms);
  ASSERT_EQ(lone.calls.size(), 1u);
  lone.later(1s);
  lone.ring();
  lone.later(modem::CallTracker::kCallerIdWait);
  lone.modem->poll(0ms);
  EXPECT_EQ(lone.calls.size(), 2u) << "a ring after NO CARRIER is a new call";
}

TEST(CallTest, RejectingHangsUpWithChupOrAthWhereChupIsRefused) {
  struct Case {
    const char* name;
    std::vector<link::AtAnswer> chup, ath;
    std::vector<std::string> written;
    bool rejected;
  };
  const Case cases[] = {
      {"AT+CHUP", {FakeAtChannel::ok()}, {FakeAtChannel::ok()}, {"AT+CHUP"}, true},
      {"ATH after a refused AT+CHUP", {FakeAtChannel::cme(4)}, {FakeAtChannel::ok()}, {"AT+CHUP", "ATH"}, true},
      {"both refused", {FakeAtChannel::cme(4)}, {FakeAtChannel::cme(3)}, {"AT+CHUP", "ATH"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CallRig rig;
    rig.opts.rejectCalls = true;
    rig.channel->on("AT+CHUP", c.chup);
    rig.channel->on("ATH", c.ath);
    rig.openForCalls();
    rig.ring("+CLIP: \"+4917012345\",145");
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0].number, "+4917012345");
    EXPECT_EQ(rig.calls[0].rejected, c.rejected);
    std::vector<std::string> hangUps = rig.channel->writtenStartingWith("AT+CHUP");
    for (const auto& w : rig.channel->writtenStartingWith("ATH")) hangUps.push_back(w);
    EXPECT_EQ(hangUps, c.written);
    EXPECT_EQ(rig.errors.size(), c.rejected ? 0u : 1u);
    // A call hung up is over: the next ring, a moment later, is a new call.
    rig.later(1s);
    rig.ring("+CLIP: \"+4917099\",145");
    EXPECT_EQ(rig.calls.size(), c.rejected ? 2u : 1u);
  }

  // Hanging up by hand.
  CallRig byHand;
  byHand.channel->on("AT+CHUP", {FakeAtChannel::cme(4)});
  byHand.channel->on("ATH", {FakeAtChannel::cme(3)});
  byHand.openForCalls();
  EXPECT_THROW(byHand.modem->hangUp(), ModemError);
}

}  // namespace
}  // namespace reviri
