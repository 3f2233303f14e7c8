// ReadAllSms: the listing command, the 1 ms pause and the index strings.
#include <gtest/gtest.h>

#include "control/state/control_core.h"
#include "control/storage/store.h"
#include "support/fake_serial_port.h"

namespace reviri {
namespace {

using testing::FakeSerialPort;

std::string entry(const std::string& index, const std::string& status) {
  return "+CMGL: " + index + "," + status + ",,23\r\n0791ABCDEF\r\n";
}

class ListingTest : public ::testing::Test {
 protected:
  ListingTest() : control(FakeSerialPort::options(&port, &pauses)) {
    port->forceOpen();
    control.setTimeRe(3);
  }
  FakeSerialPort* port = nullptr;
  std::vector<long> pauses;
  Reviri control;
};

TEST_F(ListingTest, IndexesAreSortedIntoReceivedAndOutgoing) {
  const std::string answer = "\r\n" + entry("1", "1") + entry("2", "0") + entry("5", "3") +
                             entry("6", "2") + entry("7", "1") + "\r\nOK\r\n";
  port->reply("at+cmgl=4\r\n", {answer});
  control.ReadAllSms();
  EXPECT_EQ(port->writes, std::vector<std::string>{"at+cmgl=4\r\n"});
  EXPECT_EQ(pauses, std::vector<long>{1});
  EXPECT_EQ(reviri::detail::internals(control).surface.listing.text(), answer);
  EXPECT_EQ(control.SMS_Read_String(), ",1,2,7");
  EXPECT_EQ(control.SMS_Send_String(), ",5,6");
}

TEST_F(ListingTest, OnlyCompleteEntriesCount) {
  struct Case {
    std::string answer;
    std::string read, sent;
  };
  const Case cases[] = {
      {"\r\nOK\r\n", "", ""},                                        // empty storage
      {"-1", "", ""},                                                // closed port
      {entry("12345", "1") + entry("3", "2"), "", ",3"},             // five digits: left out
      {entry("4", "1") + "+CMGL: 8,0,,23\r\n0791AB", ",4", ""},      // cut short by the idle bound
      // Headers as real devices write them: blanks, an empty and a quoted
      // field, a date appended, an index of 0.
      {"+CMGL: 1, 1, ,23\r\n0791AB\r\n+CMGL: 2 ,3,\"\",23,\"26/12/07,13:00:00+04\"\r\n0791AB\r\n", ",1", ",2"},
      {"+CMGL: 0,0,,23\r\n0791AB\r\n", ",0", ""},
  };
  for (const Case& c : cases) {
    control.setSMS_Read_String(",99");
    control.setSMS_Send_String(",98");
    reviri::detail::internals(control).surface.listing.setText(c.answer);
    sms::sortListing(reviri::detail::internals(control));
    EXPECT_EQ(control.SMS_Read_String(), c.read) << c.answer;
    EXPECT_EQ(control.SMS_Send_String(), c.sent) << c.answer;
  }
}

}  // namespace
}  // namespace reviri
