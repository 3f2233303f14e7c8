// The POSIX serial layer against a scripted modem on a pseudo-terminal.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "support/pty_responder.h"

namespace reviri {
namespace {

using testing::PtyResponder;

std::string plainModem(const std::string& line) {
  if (line == "AT\r" || line == "ate0\r" || line == "at+cmgf=0\r") return "\r\nOK\r\n";
  if (line == "AT+CGMI\r") return "\r\nACME\r\n\r\nOK\r\n";
  if (line == "AT+BAD\r") return "\r\n+CME ERROR: 4\r\n";
  return "\r\nERROR\r\n";
}

ReviriOptions noPause() {
  ReviriOptions o;
  o.sleep = [](std::chrono::milliseconds) {};
  return o;
}

TEST(SerialPosixTest, ExchangeOverAPseudoTerminal) {
  PtyResponder modem(plainModem);
  Reviri control(noPause());
  ASSERT_TRUE(control.inimodem(modem.devicePath(), "19200,n,8,1"));
  EXPECT_EQ(modem.lines(), (std::vector<std::string>{"AT\r", "ate0\r", "at+cmgf=0\r"}));
  EXPECT_EQ(control.at("AT+CGMI\r"), "\r\nACME\r\n\r\nOK\r\n");
  // An extended error ends the wait at once, not at the 45 s idle bound.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(control.at("AT+BAD\r"), "\r\n+CME ERROR: 4\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(SerialPosixTest, UnsolicitedDataReachTheReceiveBuffer) {
  PtyResponder modem(plainModem);
  Reviri control(noPause());
  ASSERT_TRUE(control.inimodem(modem.devicePath(), "115200,n,8,1"));
  reviri::detail::internals(control).surface.receiveBuffer.onChange = nullptr;  // the bare link
  modem.send("\r\n+CMTI: \"SM\",2\r\n");
  const auto& buffer = reviri::detail::internals(control).surface.receiveBuffer;
  EXPECT_TRUE(runUntil(control, [&] { return buffer.text().find("\",2\r\n") != std::string::npos; },
                       std::chrono::seconds(5)));
  EXPECT_EQ(buffer.text(), "TextTIME\r\n+CMTI: \"SM\",2\r\n");
}

TEST(SerialPosixTest, VanishedDeviceEndsTheCallAndAllowsReconnecting) {
  Reviri control(noPause());
  {
    PtyResponder modem(plainModem);
    ASSERT_TRUE(control.inimodem(modem.devicePath(), "19200,n,8,1"));
    modem.hangUp();
    control.setTimeRe(900000);
    EXPECT_THROW(control.at("AT\r"), SerialError);
    EXPECT_FALSE(reviri::detail::internals(control).exchange.busy());
  }
  EXPECT_FALSE(control.disconnect1());
  PtyResponder again(plainModem);
  EXPECT_TRUE(control.inimodem(again.devicePath(), "19200,n,8,1"));
  EXPECT_TRUE(control.checkState());
}

TEST(SerialPosixTest, ReopeningSwitchesToTheNewDevice) {
  PtyResponder first(plainModem), second(plainModem);
  Reviri control(noPause());
  ASSERT_TRUE(control.inimodem(first.devicePath(), "19200,n,8,1"));
  ASSERT_TRUE(control.inimodem(second.devicePath(), "115200,n,8,1"));
  control.at("AT+CGMI\r");
  EXPECT_EQ(first.lines().size(), 3u);
  EXPECT_EQ(second.lines().back(), "AT+CGMI\r");
}

TEST(SerialPosixTest, MissingDeviceGivesFalse) {
  Reviri control(noPause());
  EXPECT_FALSE(control.inimodem(std::string("/dev/does-not-exist"), "19200,n,8,1"));
  EXPECT_FALSE(control.inimodem(std::string("/dev/null"), "19200,n,8,1"));  // not a tty
}

}  // namespace
}  // namespace reviri
