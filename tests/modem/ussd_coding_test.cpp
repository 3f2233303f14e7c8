// USSD codings against strings real modems gave (peers' bug reports):
// packed requests, answers by DCS, +CUSD lines with quotes and commas.
#include <gtest/gtest.h>

#include "modem/ussd_coding.h"

namespace reviri::modem {
namespace {

TEST(UssdCoding, RequestsAnswersAndLines) {
  // A Huawei E150 took "*100#" as this; seven septets pad with CR.
  EXPECT_EQ(packUssd("*100#"), "AA180C3602");
  EXPECT_EQ(packUssd("1234567"), "31D98C56B3DD1A");
  EXPECT_EQ(decodeUssdText("31D98C56B3DD1A", 15, true), "1234567");
  EXPECT_THROW(packUssd("*100#\xE2\x82\xBD"), std::invalid_argument);  // a rouble sign

  struct Case {
    const char* payload;
    int dcs;
    bool packed;
    const char* text;
  };
  const Case cases[] = {
      {"04110430043B0430043D0441", 72, false, "\xD0\x91\xD0\xB0\xD0\xBB\xD0\xB0\xD0\xBD\xD1\x81"},  // UCS2
      {"AA180C3602", 15, true, "*100#"},
      {"Balance: 1.00", 15, false, "Balance: 1.00"},
      {"1234", 15, false, "1234"},                     // digits, not packed text
      {"C8329BFD06", 15, false, "Hello"},              // packed, recognised without a hint
      {"48656C6C6F", 68, false, "Hello"},              // 8-bit
      {"\xC4" "ber", 72, false, "\xC4" "ber"},               // a UCS2 DCS with text kept as it is
  };
  for (const Case& c : cases) EXPECT_EQ(decodeUssdText(c.payload, c.dcs, c.packed), c.text) << c.payload;

  const auto line = parseCusd("+CUSD: 1,\"Menu, \"new\" 1,2\",72");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->status, 1);
  EXPECT_EQ(line->payload, "Menu, \"new\" 1,2");
  EXPECT_EQ(line->dcs, 72);
  const auto bare = parseCusd("+CUSD: 2");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->status, 2);
  EXPECT_FALSE(bare->payload);
  EXPECT_FALSE(parseCusd("+CUSD: x"));
}

}  // namespace
}  // namespace reviri::modem
