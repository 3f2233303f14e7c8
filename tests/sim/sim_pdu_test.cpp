// The simulated modem's PDU reader and DELIVER builder, checked against
// vectors from other SMS stacks and against themselves.
#include "sim/sim_pdu.h"

#include <gtest/gtest.h>
#include "sms/vectors.h"

namespace vectors = reviri::testing::vectors;

namespace reviri::sim {
namespace {

struct Vector {
  const char* name;
  const char* hex;
  bool deliver;
  const char* number;
  MessageCoding coding;
  bool flash;
  const char* text;
};

TEST(SimPduTest, ReadsPeerVectors) {
  const Vector vectors[] = {
      {"@ and braces", vectors::received("D3").pdu, true,
       "+27821234567", MessageCoding::kGsm7, false, "@{tést}!"},
      {"extension table, £ § ¿",
       vectors::received("D4").pdu,
       true, "+16175927198", MessageCoding::kGsm7, false,
       "Here's a longer message [{with some extended characters}] thrown in, such as £ and ΩΠΨ and §¿ as "
       "well."},
      {"alphanumeric sender, UCS2", vectors::received("D5").pdu,
       true, "InternetSMS", MessageCoding::kUcs2, false, "тест"},
      {"submit without VP", vectors::submitted("E1").pdu, false, "+27820001111",
       MessageCoding::kGsm7, false, "Hello World!"},
      {"flash submit", vectors::submitted("E2").pdu, false, "+27820001111", MessageCoding::kGsm7,
       true, "Flash SMS"},
      {"25 septets, relative VP", vectors::submitted("E4").pdu,
       false, "+15556661234", MessageCoding::kGsm7, false, "This is really cool ΔΔΔΔΔ"},
      {"UCS2, national number",
       vectors::submitted("E6").pdu,
       false, "0800123456", MessageCoding::kUcs2, false, "Żółta żaba żarła żur"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.name);
    std::string why;
    const auto pdu = parsePdu(v.hex, -1, &why);
    ASSERT_TRUE(pdu) << why;
    EXPECT_EQ(pdu->deliver, v.deliver);
    EXPECT_EQ(pdu->number, v.number);
    EXPECT_EQ(pdu->coding, v.coding);
    EXPECT_EQ(pdu->flash, v.flash);
    EXPECT_EQ(pdu->text, v.text);
  }
}

TEST(SimPduTest, SkipsUserDataHeaderWithItsFillBits) {
  // Concatenated part with a 16-bit reference (UDHL 6, no fill bits) and one
  // with an 8-bit reference (UDHL 5, one fill bit).
  const std::string sixOctets =
      vectors::received("D7").pdu;
  auto pdu = parsePdu(sixOctets, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->udhHex, "0804001002" "01");
  EXPECT_TRUE(pdu->text.starts_with("Welkom")) << pdu->text;

  const std::string fiveOctets =
      vectors::received("D13").pdu;
  pdu = parsePdu(fiveOctets, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->text, "Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. ");
}

TEST(SimPduTest, RefusesMalformedPdus) {
  const std::string good = vectors::submitted("E1").pdu;  // 24 octets of TPDU
  std::string why;
  EXPECT_TRUE(parsePdu(good, 24, &why)) << why;
  const struct {
    const char* name;
    std::string hex;
    int length;
  } bad[] = {
      {"announced length differs", good, 23},
      {"odd digit count", good + "0", -1},
      {"not hex", "0001000B917228001011F100000CC8329BFD065DDF7236390G", -1},
      {"user data cut short", good.substr(0, good.size() - 2), -1},
      {"trailing octet", good + "00", -1},
      {"status report", vectors::report("S1").pdu, -1},
      {"address longer than the PDU", "0001000B9172", -1},
      {"empty", "", -1},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    why.clear();
    EXPECT_FALSE(parsePdu(b.hex, b.length, &why));
    EXPECT_FALSE(why.empty());
  }
}

TEST(SimPduTest, DeliverReadsBackWhatWasBuilt) {
  const struct {
    const char* sender;
    std::string text;
    bool ucs2, flash;
  } cases[] = {
      {"+4915112345678", "Hello @ {x} € ~", false, false},
      {"4915112345678", "odd digits", false, true},
      {"+491511234567", "Grüße ✓ 😀", true, false},
      {"Bank", "alphanumeric sender", false, false},
      {"+15551234", "", false, false},
      {"+15551234", std::string(160, 'x'), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    const auto hex = buildDeliver("+4917100000", c.sender, c.text, c.ucs2, c.flash, 1700000000, &why);
    ASSERT_TRUE(hex) << why;
    const auto pdu = parsePdu(*hex, -1, &why);
    ASSERT_TRUE(pdu) << why;
    EXPECT_TRUE(pdu->deliver);
    EXPECT_EQ(pdu->sca, "+4917100000");
    EXPECT_EQ(pdu->number, c.sender);
    EXPECT_EQ(pdu->text, c.text);
    EXPECT_EQ(pdu->coding, c.ucs2 ? MessageCoding::kUcs2 : MessageCoding::kGsm7);
    EXPECT_EQ(pdu->flash, c.flash);
  }
}

TEST(SimPduTest, DeliverRefusesTextsThatDoNotFitOneMessage) {
  std::string why;
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(161, 'a'), false, false, 0, &why));
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(81, '{'), false, false, 0, &why));  // ESC pairs: 162 septets
  EXPECT_FALSE(buildDeliver("", "+1555", std::string(71, 'a'), true, false, 0, &why));
  EXPECT_TRUE(buildDeliver("", "+1555", std::string(70, 'a'), true, false, 0, &why));
}

TEST(SimPduTest, RewritesServiceCentreAndDestination) {
  const std::string stored = vectors::submitted("E1").pdu;
  const std::string withSca = withServiceCentre(stored, "+4917100000");
  auto pdu = parsePdu(withSca, -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->sca, "+4917100000");
  EXPECT_EQ(pdu->text, "Hello World!");
  pdu = parsePdu(withDestination(withSca, "+123"), -1, nullptr);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->number, "+123");
  EXPECT_EQ(pdu->text, "Hello World!");
}

}  // namespace
}  // namespace reviri::sim
