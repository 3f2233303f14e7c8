// A message stored with gsm7smswrite/UNIsmswrite reads back through
// read_outsms, over a real pseudo-terminal and the POSIX serial layer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "control/state/control_core.h"
#include "support/pty_responder.h"

namespace reviri {
namespace {

using testing::PtyResponder;

// A modem with a message store: AT+CMGW takes a PDU after its prompt, AT+CMGR
// gives it back with a service-centre address in front (as modems do).
class StoringModem {
 public:
  std::string operator()(const std::string& line) {
    if (line == "AT\r" || line == "ate0\r" || line == "at+cmgf=0\r") return "\r\nOK\r\n";
    if (line.rfind("AT+CMGW=", 0) == 0) {
      awaitingPdu_ = true;
      return "\r\n> ";
    }
    if (awaitingPdu_ && line.back() == '\x1A') {
      awaitingPdu_ = false;
      const int index = next_++;
      // Drop the PDU's own "00" (no service centre) and put one in.
      stored_[index] = "06917228195339" + line.substr(2, line.size() - 3);
      return "\r\n+CMGW: " + std::to_string(index) + "\r\n\r\nOK\r\n";
    }
    if (line.rfind("AT+CMGR=", 0) == 0) {
      const auto it = stored_.find(std::atoi(line.c_str() + 8));
      if (it == stored_.end()) return "\r\n+CMS ERROR: 321\r\n";
      return "\r\n+CMGR: 2,,23\r\n" + it->second + "\r\n\r\nOK\r\n";
    }
    return "\r\nERROR\r\n";
  }

 private:
  bool awaitingPdu_ = false;
  int next_ = 3;
  std::map<int, std::string> stored_;
};

TEST(StorePtyTest, StoredMessagesReadBackInBothCodings) {
  PtyResponder modem{StoringModem()};
  ReviriOptions options;
  options.sleep = [](std::chrono::milliseconds) {};
  Reviri control(options);
  ASSERT_TRUE(control.inimodem(modem.devicePath(), "115200,n,8,1"));

  const std::string gsmText = "Hello @ 10:30, {ok}?";
  const std::string index7 = control.gsm7smswrite("+4915112345678", gsmText);
  EXPECT_EQ(index7, "3");
  ASSERT_TRUE(control.read_outsms(index7));
  EXPECT_EQ(control.LastSendSms_sender(), "4915112345678");
  EXPECT_EQ(control.LastSendSms_text(), gsmText);

  const std::string ucsText = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xD0\xBF\xD1\x80\xD0\xB8";
  const std::string indexUcs = control.UNIsmswrite("12345", ucsText);
  EXPECT_EQ(indexUcs, "4");
  ASSERT_TRUE(control.read_outsms(indexUcs));
  EXPECT_EQ(control.LastSendSms_sender(), "12345");
  EXPECT_EQ(control.LastSendSms_text(), ucsText);

  EXPECT_FALSE(control.read_outsms("9"));
}

}  // namespace
}  // namespace reviri
