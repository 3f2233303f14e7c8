#include <gtest/gtest.h>

#include "reviri/serial_port.h"

namespace reviri {
namespace {

TEST(LineSettingsTest, AcceptsTheUsualForms) {
  const auto s = LineSettings::parse("19200,n,8,1");
  EXPECT_EQ(s.baud, 19200);
  EXPECT_EQ(s.parity, LineSettings::Parity::kNone);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.stopBits, LineSettings::StopBits::kOne);
  const auto t = LineSettings::parse(" 115200 , E , 7 , 1.5 ");
  EXPECT_EQ(t.baud, 115200);
  EXPECT_EQ(t.parity, LineSettings::Parity::kEven);
  EXPECT_EQ(t.dataBits, 7);
  EXPECT_EQ(t.stopBits, LineSettings::StopBits::kOnePointFive);
  EXPECT_EQ(LineSettings::parse("9600,o,5,2").parity, LineSettings::Parity::kOdd);
  EXPECT_EQ(LineSettings::parse("9600,m,8,1").parity, LineSettings::Parity::kMark);
  EXPECT_EQ(LineSettings::parse("9600,S,8,1").parity, LineSettings::Parity::kSpace);
}

TEST(LineSettingsTest, RefusesMalformedStrings) {
  for (const char* bad : {"", "19200", "19200,n,8", "19200,n,8,1,1", "19201,n,8,1", "fast,n,8,1",
                          "19200,x,8,1", "19200,n,9,1", "19200,n,4,1", "19200,n,8,3",
                          "19200,,8,1", "-9600,n,8,1"}) {
    EXPECT_THROW(LineSettings::parse(bad), std::invalid_argument) << bad;
  }
}

TEST(LineSettingsTest, PortNumbersMapToDevices) {
  EXPECT_EQ(devicePathForPort(1), "/dev/ttyS0");
  EXPECT_EQ(devicePathForPort(4), "/dev/ttyS3");
  EXPECT_EQ(devicePathForPort(0), "");
}

}  // namespace
}  // namespace reviri
