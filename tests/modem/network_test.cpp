// Signal quality and network operator over a scripted channel: the answers
// as modems write them (blanks, an access technology, no registration) and
// refusals as typed errors.
#include <gtest/gtest.h>

#include "modem/network.h"
#include "reviri/modem.h"
#include "tests/modem/fake_at_channel.h"

namespace reviri {
namespace {

using testing::FakeAtChannel;

struct NetworkRig {
  NetworkRig() {
    auto shared = std::make_shared<FakeAtChannel>();
    channel = shared.get();
    pending = std::make_unique<testing::SharedChannel>(shared);
    keep = shared;
  }
  Modem& open() {
    modem.open(std::move(pending));
    channel->written.clear();
    return modem;
  }
  std::shared_ptr<FakeAtChannel> keep;
  FakeAtChannel* channel = nullptr;
  std::unique_ptr<link::AtChannel> pending;
  Modem modem;
};

TEST(NetworkTest, ReadsSignalQualityWithAndWithoutBlanks) {
  NetworkRig rig;
  rig.channel->on("AT+CSQ", {FakeAtChannel::ok({"+CSQ: 17, 99"}), FakeAtChannel::ok({"+CSQ: 31,0"}),
                             FakeAtChannel::ok({"+CSQ: 99,99"})});
  Modem& modem = rig.open();
  SignalQuality q = modem.signalQuality();
  EXPECT_EQ(q.rssi, 17);
  EXPECT_EQ(q.ber, 99);
  EXPECT_EQ(q.dbm(), -79);
  q = modem.signalQuality();
  EXPECT_EQ(q.rssi, 31);
  EXPECT_EQ(q.ber, 0);
  q = modem.signalQuality();
  EXPECT_EQ(q.rssi, 99);
  EXPECT_FALSE(q.dbm().has_value());
  EXPECT_EQ(rig.channel->writtenStartingWith("AT+CSQ"), std::vector<std::string>(3, "AT+CSQ"));
}

TEST(NetworkTest, SignalRefusedOrNotUnderstoodIsATypedError) {
  NetworkRig rig;
  rig.channel->on("AT+CSQ", {FakeAtChannel::cme(30), FakeAtChannel::ok({"+CSQ: 40,99"}), FakeAtChannel::ok()});
  Modem& modem = rig.open();
  try {
    modem.signalQuality();
    FAIL() << "a refusal was not thrown";
  } catch (const ModemError& e) {
    EXPECT_EQ(e.error().kind, Error::Kind::kModem);
    EXPECT_EQ(e.error().code, 30);
    EXPECT_EQ(e.error().command, "AT+CSQ");
  }
  for (int i = 0; i < 2; ++i) {  // rssi out of range, then no +CSQ line at all
    try {
      modem.signalQuality();
      FAIL() << "answer " << i << " was taken";
    } catch (const ModemError& e) {
      EXPECT_EQ(e.error().kind, Error::Kind::kProtocol);
    }
  }
}

TEST(NetworkTest, OperatorChoosesTheLongNameFormatOnceAndTellsNoRegistration) {
  NetworkRig rig;
  rig.channel->on("AT+COPS?", {FakeAtChannel::ok({"+COPS: 0,0,\"Reviri Net\",7"}), FakeAtChannel::ok({"+COPS: 0"})});
  Modem& modem = rig.open();
  EXPECT_EQ(modem.networkOperator(), "Reviri Net");
  EXPECT_EQ(modem.networkOperator(), "");
  EXPECT_EQ(rig.channel->written, (std::vector<std::string>{"AT+COPS=3,0", "AT+COPS?", "AT+COPS?"}));
}

TEST(NetworkTest, OperatorReadEvenWhenTheFormatIsRefusedButNotWhenTheReadIs) {
  NetworkRig rig;
  rig.channel->on("AT+COPS=", {FakeAtChannel::cme(3)});
  rig.channel->on("AT+COPS?", {FakeAtChannel::ok({"+COPS: 0,2,\"26201\""}), FakeAtChannel::cme(30)});
  Modem& modem = rig.open();
  EXPECT_EQ(modem.networkOperator(), "26201");
  try {
    modem.networkOperator();
    FAIL() << "a refusal was not thrown";
  } catch (const ModemError& e) {
    EXPECT_EQ(e.error().kind, Error::Kind::kModem);
    EXPECT_EQ(e.error().command, "AT+COPS?");
  }
}

TEST(NetworkTest, ParsesAnswerLinesTolerantly) {
  EXPECT_EQ(modem::parseSignalQuality("  +CSQ:  5 , 3 \r")->rssi, 5);
  EXPECT_FALSE(modem::parseSignalQuality("+CSQ: 5"));
  EXPECT_FALSE(modem::parseSignalQuality("+CSQ: a,b"));
  EXPECT_FALSE(modem::parseSignalQuality("+CSQ: 5,8"));
  EXPECT_FALSE(modem::parseSignalQuality("+CREG: 0,1"));
  EXPECT_EQ(modem::parseOperator("+COPS: 1, 0, \"Net One\""), "Net One");
  EXPECT_EQ(modem::parseOperator("+COPS: 2"), "");
  EXPECT_FALSE(modem::parseOperator("+COPS: 0,0,\"cut"));
  EXPECT_FALSE(modem::parseOperator("+CSQ: 1,1"));
  const struct {
    const char* line;
    int used, total;  // -1: not understood
  } storage[] = {
      {"+CPMS: \"SM\",3,20,\"SM\",3,20,\"SM\",3,20", 3, 20},
      {"+CPMS: SM, 19 ,20,ME,0,100,SM,19,20\r", 19, 20},
      {"+CPMS: \"ME\",0,255", 0, 255},
      {"+CPMS: 3,20,3,20,3,20", -1, -1},  // the answer to a setting, no names
      {"+CPMS: \"SM\",21,20", -1, -1},
      {"+CPMS: \"SM\",3", -1, -1},
      {"+CSQ: 3,20", -1, -1},
  };
  for (const auto& c : storage) {
    const auto use = modem::parseStorageUse(c.line);
    EXPECT_EQ(use ? use->used : -1, c.used) << c.line;
    EXPECT_EQ(use ? use->total : -1, c.total) << c.line;
  }
}

}  // namespace
}  // namespace reviri
