// parsere called by a host: result, events and their order, the buffer.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "sms/event_recorder.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::EventRecorder;
using testing::FakeSerialPort;

TEST(ParsereTest, ResultAndEvents) {
  struct Case {
    std::string text;
    std::string result;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"\r\n+CMGS: 12\r\n\r\nOK\r\n", "12", {"ok 12"}},
      {"+cmgs: 7", "7", {"ok 7"}},
      {"\r\n+CME ERROR: 21\r\n", "21", {"err 21"}},
      {"\r\n+CMS ERROR: 500\r\n", "500", {"err 500"}},
      {"\r\nRING\r\n", "", {}},
      {"AT+CMGS=14\r", "", {}},  // the echo of the command is no confirmation
      {"+CMGS: 123456", "1234", {"ok 1234"}},
      // Both kinds: confirmations first, and the result is the error number.
      {"+CME ERROR: 4\r\n+CMGS: 3\r\n", "4", {"ok 3", "err 4"}},
      // Every line counts, in text order within each kind.
      {"+CMGS: 5\r\n+CMGS: 6\r\n", "5", {"ok 5", "ok 6"}},
      {"+CMS ERROR: 1\r\n+CME ERROR: 2\r\n", "1", {"err 1", "err 2"}},
  };
  FakeSerialPort* port = nullptr;
  Reviri control(FakeSerialPort::options(&port));
  EventRecorder events;
  control.advise(events);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    events.log.clear();
    EXPECT_EQ(control.parsere(c.text), c.result);
    EXPECT_EQ(events.log, c.events);
  }
}

TEST(ParsereTest, HostCallLeavesTheReceiveBufferAlone) {
  FakeSerialPort* port = nullptr;
  Reviri control(FakeSerialPort::options(&port));
  control.PostTerminal("\r\n+CMTI: \"SM\",");  // an indication under way
  const std::string before = reviri::detail::internals(control).surface.receiveBuffer.text();
  EXPECT_EQ(control.parsere("+CMGS: 3\r\n"), "3");
  EXPECT_EQ(reviri::detail::internals(control).surface.receiveBuffer.text(), before);
}

}  // namespace
}  // namespace reviri
