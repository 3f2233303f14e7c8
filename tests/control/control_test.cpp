// Creation defaults, events, inimodem/checkState/disconnect1, size.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

struct Recorder : ReviriEvents {
  std::vector<std::string> log;
  void SMSReceived(const std::string& i, const std::string& c, const std::string& m) override {
    log.push_back("received " + i + " " + c + " " + m);
  }
  void SMSERR(const std::string& e) override { log.push_back("err " + e); }
  void SMSSendOk(const std::string& c) override { log.push_back("ok " + c); }
};

TEST(ControlTest, NewInstanceStartsFromTheDefaults) {
  FakeSerialPort* port = nullptr;
  {
    Reviri first(FakeSerialPort::options(&port));
    first.setTimeRe(12);
    first.setCheckautodel(true);
    first.setFlagCatchwho("x");
    first.setLastReadSms_text("y");
  }
  Reviri c(FakeSerialPort::options(&port));
  EXPECT_EQ(c.TimeRe(), 900000);
  EXPECT_FALSE(c.Checkautodel());
  for (const auto& s : {c.FlagCatchwho(), c.SMS_Read_String(), c.SMS_Send_String(),
                        c.LastReadSms_text(), c.LastReadSms_sender(), c.LastSendSms_text(),
                        c.LastSendSms_sender()})
    EXPECT_EQ(s, "");
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(reviri::detail::internals(c).surface.receiveBuffer.text(), "TextTIME");
}

TEST(ControlTest, PropertiesStoreWhatTheHostPuts) {
  FakeSerialPort* port = nullptr;
  Reviri c(FakeSerialPort::options(&port));
  c.setTimeRe(-1.5);
  c.setSMS_Read_String(",1");
  c.setSMS_Send_String(",2");
  c.setLastReadSms_sender("49");
  c.setLastSendSms_text("t");
  c.setLastSendSms_sender("s");
  EXPECT_EQ(c.TimeRe(), -1.5);
  EXPECT_EQ(c.SMS_Read_String(), ",1");
  EXPECT_EQ(c.SMS_Send_String(), ",2");
  EXPECT_EQ(c.LastReadSms_sender(), "49");
  EXPECT_EQ(c.LastSendSms_text(), "t");
  EXPECT_EQ(c.LastSendSms_sender(), "s");
}

TEST(ControlTest, EventsReachEverySinkInOrderAndSinksCanLeave) {
  FakeSerialPort* port = nullptr;
  Reviri c(FakeSerialPort::options(&port));
  Recorder a, b;
  struct Leaver : ReviriEvents {
    Reviri* control = nullptr;
    int cookie = 0;
    int calls = 0;
    void SMSERR(const std::string&) override {
      ++calls;
      control->unadvise(cookie);
    }
  } leaver;
  const int ca = c.advise(a);
  leaver.control = &c;
  leaver.cookie = c.advise(leaver);
  c.advise(b);
  auto& events = reviri::detail::internals(c).events;
  events.SMSReceived("3", "4915", "hi");
  events.SMSERR("21");
  events.SMSERR("22");
  c.unadvise(ca);
  events.SMSSendOk("7");
  EXPECT_EQ(a.log, (std::vector<std::string>{"received 3 4915 hi", "err 21", "err 22"}));
  EXPECT_EQ(b.log, (std::vector<std::string>{"received 3 4915 hi", "err 21", "err 22", "ok 7"}));
  EXPECT_EQ(leaver.calls, 1);
}

class InimodemTest : public ::testing::Test {
 protected:
  InimodemTest() : control(FakeSerialPort::options(&port, &pauses)) { control.setTimeRe(3); }
  FakeSerialPort* port = nullptr;
  std::vector<long> pauses;
  Reviri control;
};

TEST_F(InimodemTest, ResponsiveModemGetsTheThreeCommandsInOrder) {
  port->reply("AT\r", {"\r\nOK\r\n"});
  port->reply("ate0\r", {"ate0\r\r\nOK\r\n"});
  port->reply("at+cmgf=0\r", {"\r\nERROR\r\n"});  // not examined
  port->arriveNow("garbage from power-up");
  EXPECT_TRUE(control.inimodem(1, "19200,n,8,1"));
  EXPECT_EQ(port->device, "/dev/ttyS0");
  EXPECT_EQ(port->settings.baud, 19200);
  EXPECT_EQ(port->writes, (std::vector<std::string>{"AT\r", "ate0\r", "at+cmgf=0\r"}));
  EXPECT_EQ(pauses, std::vector<long>{2000});
  EXPECT_TRUE(control.checkState());
}

TEST_F(InimodemTest, LowerCaseOkPassesTheProbeAfterTheIdleBound) {
  port->reply("AT\r", {"\r\nok\r\n"});
  EXPECT_TRUE(control.inimodem(std::string("/dev/ttyUSB0"), "9600,n,8,1"));
  EXPECT_EQ(port->device, "/dev/ttyUSB0");
}

TEST_F(InimodemTest, FailuresGiveFalse) {
  EXPECT_FALSE(control.checkState());  // closed port: "-1"
  EXPECT_FALSE(control.inimodem(1, "19200,q,8,1"));
  EXPECT_FALSE(port->isOpen());
  EXPECT_FALSE(control.inimodem(0, "19200,n,8,1"));
  port->failOpen = "no such device";
  EXPECT_FALSE(control.inimodem(1, "19200,n,8,1"));
  port->failOpen.reset();
  // A silent modem: False, and the port stays open until disconnect1.
  EXPECT_FALSE(control.inimodem(1, "19200,n,8,1"));
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(port->writes, std::vector<std::string>{"AT\r"});
  EXPECT_FALSE(control.disconnect1());
  EXPECT_FALSE(port->isOpen());
  EXPECT_FALSE(control.disconnect1());
  // A line failure during the probe is trapped too.
  port->reply("AT\r", {"\r\nOK\r\n"});
  control.setEventPump([&] { port->failIo = "unplugged"; });
  EXPECT_FALSE(control.inimodem(1, "19200,n,8,1"));
  EXPECT_FALSE(reviri::detail::internals(control).exchange.busy());
}

TEST(RunLoopTest, ABoundBeyondTheClockMeansNoBoundNotAnInstantEnd) {
  FakeSerialPort* port = nullptr;
  Reviri control(FakeSerialPort::options(&port));
  for (const auto bound : {std::chrono::milliseconds::max(),
                           std::chrono::milliseconds(std::chrono::hours(24 * 365) * 1000000)}) {
    int polls = 0;
    EXPECT_TRUE(runUntil(control, [&] { return ++polls == 3; }, bound));
    EXPECT_EQ(polls, 3);
  }
  int polls = 0;
  EXPECT_FALSE(runUntil(control, [&] { return ++polls > 1000; }, std::chrono::milliseconds(-5)));
  EXPECT_EQ(polls, 1);
}

TEST(ControlSizeTest, StaysFiveHundredTwipsAndClosesThePortOnDestruction) {
  struct WatchedPort : FakeSerialPort {
    bool* closed = nullptr;
    void close() noexcept override {
      if (isOpen()) *closed = true;
      FakeSerialPort::close();
    }
  };
  bool closed = false;
  ReviriOptions options;
  options.makePort = [&closed] {
    auto p = std::make_unique<WatchedPort>();
    p->closed = &closed;
    p->forceOpen();
    return p;
  };
  auto c = std::make_unique<Reviri>(options);
  c->resize(3000, 120);
  EXPECT_EQ(c->width(), 500);
  EXPECT_EQ(c->height(), 500);
  EXPECT_FALSE(closed);
  c.reset();
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace reviri
